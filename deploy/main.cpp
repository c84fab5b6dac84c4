// run-hotfix: runs the hotfix for deployment tools from a private folder
// that no other account can write to. Usage: run-hotfix.exe [LOG_SHARE]
#include "launcher.h"
#include "support/dll_search.h"

#include <string>

int wmain(int argc, wchar_t* argv[])
{
    // Before anything loads a DLL: the package folder is often a share.
    RestrictDllSearchPath();
    try {
        return RunLauncher(argc > 1 ? ShareOfArgument(argv[1]) : std::wstring());
    } catch (...) {
        // Out of memory: nothing useful can be said, and nothing has run.
        return kLauncherFailed;
    }
}

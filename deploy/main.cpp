// run-hotfix: runs the hotfix for deployment tools from a private folder
// that no other account can write to, keeping the files it replaces; with
// /uninstall, puts them back.
// Usage: run-hotfix.exe [LOG_SHARE] | run-hotfix.exe /uninstall [LOG_SHARE]
#include "launcher.h"
#include "removal.h"
#include "support/dll_search.h"

#include <string>

int wmain(int argc, wchar_t* argv[])
{
    // Before anything loads a DLL: the package folder is often a share.
    RestrictDllSearchPath();
    try {
        if (argc > 1 && IsUninstallSwitch(argv[1])) {
            return RunRemoval(argc > 2 ? ShareOfArgument(argv[2]) : std::wstring());
        }
        return RunLauncher(argc > 1 ? ShareOfArgument(argv[1]) : std::wstring());
    } catch (...) {
        // Out of memory: nothing useful can be said, and nothing has run.
        return kLauncherFailed;
    }
}

#include "support/dll_search.h"

#include "support/system_function.h"

#include <windows.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, which headers for Vista do not define.
constexpr DWORD kLoadLibrarySearchSystem32 = 0x800;

} // namespace

void RestrictDllSearchPath()
{
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories =
        LookUpSystemFunction<SetDefaultDllDirectoriesFunction>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefaultDllDirectories) {
        setDefaultDllDirectories(kLoadLibrarySearchSystem32);
    }
}

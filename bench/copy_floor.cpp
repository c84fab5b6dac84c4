// copy_floor: the least work that applying the hotfix can be. Copies every
// plain file of each source folder into its destination folder with one
// CopyFileW per file, replacing what is there: no registry, no log.
//
// Usage: copy_floor SOURCE_FOLDER DESTINATION_FOLDER [SOURCE DESTINATION]...
//
// Folders are given without a trailing backslash. Exits with 0 when every
// file was copied and 1 at the first failure, with the reason on standard
// error.
//
// Built a second time as copy_floor_dlls with QX_FLOOR_WITH_HOTFIX_DLLS: the
// same loop in a process that also loads, and calls into, the system DLLs
// that qxhotfix imports, so that their start-up is in the floor as well.
#include "support/unique_handle.h"

#include <windows.h>

#ifdef QX_FLOOR_WITH_HOTFIX_DLLS
#include <objbase.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

[[noreturn]] void Fail(const wchar_t* call, const std::wstring& path)
{
    const DWORD error = ::GetLastError();
    std::fwprintf(stderr, L"copy_floor: %ls failed on %ls, error %lu\n", call, path.c_str(),
                  static_cast<unsigned long>(error));
    std::exit(1);
}

bool IsPlainFile(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void CopyFolder(const std::wstring& source, const std::wstring& destination)
{
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((source + L"\\*").c_str(), &entry));
    if (!search) {
        Fail(L"FindFirstFileW", source);
    }
    do {
        if (IsPlainFile(entry)) {
            const std::wstring to = destination + L'\\' + entry.cFileName;
            if (!::CopyFileW((source + L'\\' + entry.cFileName).c_str(), to.c_str(), FALSE)) {
                Fail(L"CopyFileW", to);
            }
        }
    } while (::FindNextFileW(search.get(), &entry));
}

#ifdef QX_FLOOR_WITH_HOTFIX_DLLS
// One call into advapi32 and one into the COM task allocator, as the
// hotfix's registry reads make, so that the linker keeps both imports.
void CallHotfixDlls()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ::RegCloseKey(key);
    }
    ::CoTaskMemFree(::CoTaskMemAlloc(sizeof(wchar_t)));
}
#endif

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3 || argc % 2 == 0) {
        std::fputws(L"usage: copy_floor SOURCE DESTINATION [SOURCE DESTINATION]...\n", stderr);
        return 2;
    }
#ifdef QX_FLOOR_WITH_HOTFIX_DLLS
    CallHotfixDlls();
#endif
    for (int pair = 1; pair + 1 < argc; pair += 2) {
        CopyFolder(argv[pair], argv[pair + 1]);
    }
    return 0;
}

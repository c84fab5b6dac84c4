// copy_floor: the least work that applying the hotfix can be. Copies every
// plain file of each source folder into its destination folder with one
// CopyFileW per file, replacing what is there: no registry, no log.
//
// Usage: copy_floor [--check] SOURCE_FOLDER DESTINATION_FOLDER [SOURCE DESTINATION]...
//
// Folders are given without a trailing backslash. Exits with 0 when every
// file was copied and 1 at the first failure, with the reason on standard
// error.
//
// --check first makes the hotfix's pass over every pair before the first
// copy: each existing destination file is opened for writing, sharing
// reading and writing as the copy's own open does, and closed at once. The floor of a run that
// checks before it copies.
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

// Calls step(source file, destination file) for each plain file of source.
template <typename Step> void ForEachFile(const std::wstring& source, const std::wstring& destination, Step step)
{
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((source + L"\\*").c_str(), &entry));
    if (!search) {
        Fail(L"FindFirstFileW", source);
    }
    do {
        if (IsPlainFile(entry)) {
            step(source + L'\\' + entry.cFileName, destination + L'\\' + entry.cFileName);
        }
    } while (::FindNextFileW(search.get(), &entry));
}

void CopyFolder(const std::wstring& source, const std::wstring& destination)
{
    ForEachFile(source, destination, [](const std::wstring& from, const std::wstring& to) {
        if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            Fail(L"CopyFileW", to);
        }
    });
}

void CheckFolder(const std::wstring& source, const std::wstring& destination)
{
    ForEachFile(source, destination, [](const std::wstring&, const std::wstring& to) {
        const UniqueFileHandle file(::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
            Fail(L"CreateFileW", to);
        }
    });
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
    const bool check = argc > 1 && std::wcscmp(argv[1], L"--check") == 0;
    const int first = check ? 2 : 1;
    if (argc - first < 2 || (argc - first) % 2 != 0) {
        std::fputws(L"usage: copy_floor [--check] SOURCE DESTINATION [SOURCE DESTINATION]...\n", stderr);
        return 2;
    }
#ifdef QX_FLOOR_WITH_HOTFIX_DLLS
    CallHotfixDlls();
#endif
    for (int pair = first; check && pair + 1 < argc; pair += 2) {
        CheckFolder(argv[pair], argv[pair + 1]);
    }
    for (int pair = first; pair + 1 < argc; pair += 2) {
        CopyFolder(argv[pair], argv[pair + 1]);
    }
    return 0;
}

#pragma once

#include "long_path.h"
#include "support/unique_handle.h"

#include <windows.h>

#include <optional>
#include <string>

// Small file and folder helpers of the launcher, at any path length.

// The path in double quotes, as the launcher's lines name files.
std::wstring Quoted(const std::wstring& path);

// "error <n>", as the launcher's lines give system error codes.
std::wstring ErrorText(DWORD error);

DWORD AttributesOf(const std::wstring& path);
bool IsFolder(const std::wstring& path);
bool IsFile(const std::wstring& path);

// Copies a file to a path where none exists yet; ERROR_SUCCESS or the error.
DWORD CopyNewFile(const std::wstring& from, const std::wstring& to);

// The whole file as bytes; nothing when it cannot be read whole or is
// larger than longest.
std::optional<std::string> ReadSmallFile(const std::wstring& path, LONGLONG longest);

// Deletes a folder (with its backslash) and everything in it: read-only
// files too, links themselves and never what they point to. False when
// anything is left.
bool RemoveFolderTree(const std::wstring& folder);

// Copies a log into share (a folder) as "<computer name>_<name>", never
// over an existing file; a failure is one line on standard error.
void CopyLogToShare(const std::wstring& log, const std::wstring& name, const std::wstring& share);

bool IsDots(const WIN32_FIND_DATAW& entry);

// Calls visit for every entry of folder (with its backslash) but "." and
// "..". Returns ERROR_SUCCESS when the listing ended, else its error.
template <typename Visit> DWORD ForEachEntry(const std::wstring& folder, const wchar_t* pattern, Visit visit)
{
    WIN32_FIND_DATAW entry = {};
    UniqueFindHandle find(::FindFirstFileW(ExtendedLengthPath(folder + pattern).c_str(), &entry));
    if (!find) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    do {
        if (!IsDots(entry)) {
            const DWORD error = visit(entry);
            if (error != ERROR_SUCCESS) {
                return error;
            }
        }
    } while (::FindNextFileW(find.get(), &entry));
    const DWORD error = ::GetLastError();
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

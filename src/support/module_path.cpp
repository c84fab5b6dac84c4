#include "support/module_path.h"

#include <windows.h>

namespace {

// The longest path the system can hand out, terminator included.
constexpr DWORD kLongestPath = 32768;

// The folder part of a path; empty when the path holds no separator.
std::wstring FolderOfPath(const std::wstring& path)
{
    const std::wstring::size_type lastSeparator = path.find_last_of(L"\\/");
    if (lastSeparator == std::wstring::npos) {
        return std::wstring();
    }
    return path.substr(0, lastSeparator + 1);
}

} // namespace

std::wstring GetExecutablePath()
{
    // A result equal to the room given means the path was cut: grow and ask again.
    for (DWORD room = MAX_PATH;; room *= 2) {
        std::wstring path(room, L'\0');
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), room);
        if (length == 0) {
            return std::wstring();
        }
        if (length < room) {
            path.resize(length);
            return path;
        }
        if (room >= kLongestPath) {
            return std::wstring();
        }
    }
}

std::wstring GetExecutableFolder()
{
    return FolderOfPath(GetExecutablePath());
}

std::wstring WithTrailingBackslash(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

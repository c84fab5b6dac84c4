#include "support/module_path.h"

#include <windows.h>

namespace {

// The longest path the system can hand out, terminator included.
constexpr DWORD kLongestPath = 32768;

bool IsSeparator(wchar_t character)
{
    return character == L'\\' || character == L'/';
}

bool IsDriveLetter(wchar_t character)
{
    return (character >= L'A' && character <= L'Z') || (character >= L'a' && character <= L'z');
}

// A path from a root: a drive's ("C:\\"), a share's ("\\\\server\\share\\")
// or the system's ("\\\\?\\"). Any other path is read relative to the
// current directory, which for a deployment tool is the system folder.
bool IsRootedPath(const std::wstring& path)
{
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
        return true;
    }
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

} // namespace

std::wstring FolderOfExecutablePath(const std::wstring& path)
{
    const std::wstring::size_type lastSeparator = path.find_last_of(L"\\/");
    if (!IsRootedPath(path) || lastSeparator == std::wstring::npos) {
        return std::wstring();
    }
    return path.substr(0, lastSeparator + 1);
}

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
    return FolderOfExecutablePath(GetExecutablePath());
}

std::wstring WithTrailingBackslash(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

#include "long_path.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

namespace {

// Folders are limited to MAX_PATH less room for an 8.3 file name.
constexpr std::wstring::size_type kClassicFolderLimit = MAX_PATH - 12;
// CreateProcessW takes a program or current folder shorter than MAX_PATH,
// the folder's trailing backslash included.
constexpr std::wstring::size_type kStartableLimit = MAX_PATH - 1;
constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* start)
{
    return text.compare(0, std::wcslen(start), start) == 0;
}

std::wstring WithoutExtendedPrefix(const std::wstring& path)
{
    if (StartsWith(path, kExtendedUncPrefix)) {
        return L"\\\\" + path.substr(std::wcslen(kExtendedUncPrefix));
    }
    if (StartsWith(path, kExtendedPrefix)) {
        return path.substr(std::wcslen(kExtendedPrefix));
    }
    return path;
}

} // namespace

std::wstring FullPath(const std::wstring& path)
{
    return GrowingText(
        [&](DWORD room, wchar_t* buffer) { return ::GetFullPathNameW(path.c_str(), room, buffer, nullptr); });
}

std::wstring ExtendedLengthPath(const std::wstring& path)
{
    if (path.size() < kClassicFolderLimit || StartsWith(path, kExtendedPrefix)) {
        return path;
    }
    std::wstring backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
    if (StartsWith(backslashed, L"\\\\")) {
        return kExtendedUncPrefix + backslashed.substr(2);
    }
    return kExtendedPrefix + backslashed;
}

std::wstring StartablePath(const std::wstring& path)
{
    if (path.size() < kStartableLimit) {
        return path;
    }
    const std::wstring extended = ExtendedLengthPath(path);
    const std::wstring shortPath = WithoutExtendedPrefix(
        GrowingText([&](DWORD room, wchar_t* buffer) { return ::GetShortPathNameW(extended.c_str(), buffer, room); }));
    return shortPath.size() < kStartableLimit ? shortPath : std::wstring();
}

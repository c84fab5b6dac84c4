#include "folder_tree.h"

#include "support/module_path.h"
#include "support/standard_error.h"

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring ErrorText(DWORD error)
{
    return L"error " + std::to_wstring(error);
}

DWORD AttributesOf(const std::wstring& path)
{
    return ::GetFileAttributesW(ExtendedLengthPath(path).c_str());
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsDots(const WIN32_FIND_DATAW& entry)
{
    return std::wstring(entry.cFileName) == L"." || std::wstring(entry.cFileName) == L"..";
}

DWORD CopyNewFile(const std::wstring& from, const std::wstring& to)
{
    const bool copied = ::CopyFileW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), TRUE);
    return copied ? ERROR_SUCCESS : ::GetLastError();
}

std::optional<std::string> ReadSmallFile(const std::wstring& path, LONGLONG longest)
{
    UniqueFileHandle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > longest) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::string::size_type>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)
        || read != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

namespace {

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

// Removes one entry of a folder being removed: a read-only file too, a
// link itself and never what it points to.
DWORD RemoveEntry(const std::wstring& path, DWORD attributes)
{
    const std::wstring extended = ExtendedLengthPath(path);
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return RemoveFolderTree(path + L"\\") ? ERROR_SUCCESS : ERROR_DIR_NOT_EMPTY;
    }
    if (isFolder) {
        return ::RemoveDirectoryW(extended.c_str()) ? ERROR_SUCCESS : ::GetLastError();
    }
    ::SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(extended.c_str()) ? ERROR_SUCCESS : ::GetLastError();
}

} // namespace

bool RemoveFolderTree(const std::wstring& folder)
{
    const DWORD error = ForEachEntry(folder, L"*", [&](const WIN32_FIND_DATAW& entry) -> DWORD {
        return RemoveEntry(folder + entry.cFileName, entry.dwFileAttributes);
    });
    return error == ERROR_SUCCESS && ::RemoveDirectoryW(ExtendedLengthPath(folder).c_str());
}

void CopyLogToShare(const std::wstring& log, const std::wstring& name, const std::wstring& share)
{
    const std::wstring folder = WithTrailingBackslash(FullPath(share));
    const DWORD error = CopyNewFile(log, folder + ComputerName() + L"_" + name);
    if (error != ERROR_SUCCESS) {
        PrintError(L"run-hotfix: could not copy the log " + Quoted(log) + L" to " + Quoted(share) + L", "
                   + ErrorText(error));
    }
}

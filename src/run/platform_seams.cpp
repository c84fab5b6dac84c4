#include "run/platform_seams.h"

BOOL FindNextEntry(HANDLE search, WIN32_FIND_DATAW* entry) noexcept
{
    return ::FindNextFileW(search, entry);
}

DWORD LongestLockWait() noexcept
{
    return kLongestLockWait;
}

HANDLE CreateRunMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name) noexcept
{
    return ::CreateMutexW(attributes, FALSE, name);
}

std::vector<FileHolder> ListFileHolders(const std::wstring& path)
{
    return AskRestartManagerForHolders(path);
}

// Platform faults on request for the fault-injection build, replacing
// run/platform_seams.cpp:
//   QX_FIND_NEXT_ERROR  a system error code (decimal or 0x hex): every
//                       FindNextFileW of the run fails with it
//   QX_LOCK_WAIT_MS     how long a run waits for another run's lock
//   QX_LOCK_CREATE_DENIED  when set, making the run's lock is refused with
//                       ERROR_ACCESS_DENIED, as Windows refuses it to an
//                       account that the existing lock does not grant
//                       full access
//   QX_FILE_HOLDERS     a number N: every file found in use is held by N
//                       programs, "holder1.exe" to "holderN.exe", with
//                       process ids 101 to 100 + N
// Without them both behave as in the shipped exe.
#include "run/platform_seams.h"

#include "environment_number.h"

BOOL FindNextEntry(HANDLE search, WIN32_FIND_DATAW* entry) noexcept
{
    if (const std::optional<DWORD> error = NumberFromEnvironment(L"QX_FIND_NEXT_ERROR")) {
        ::SetLastError(*error);
        return FALSE;
    }
    return ::FindNextFileW(search, entry);
}

DWORD LongestLockWait() noexcept
{
    return NumberFromEnvironment(L"QX_LOCK_WAIT_MS").value_or(kLongestLockWait);
}

HANDLE CreateRunMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name) noexcept
{
    if (NumberFromEnvironment(L"QX_LOCK_CREATE_DENIED")) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return ::CreateMutexW(attributes, FALSE, name);
}

std::vector<FileHolder> ListFileHolders(const std::wstring& path)
{
    const std::optional<DWORD> count = NumberFromEnvironment(L"QX_FILE_HOLDERS");
    if (!count) {
        return AskRestartManagerForHolders(path);
    }
    std::vector<FileHolder> holders;
    for (DWORD holder = 1; holder <= *count; ++holder) {
        holders.push_back(FileHolder{L"holder" + std::to_wstring(holder) + L".exe", 100 + holder});
    }
    return holders;
}

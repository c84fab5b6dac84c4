// Platform faults on request for the fault-injection build, replacing
// run/platform_seams.cpp:
//   QX_FIND_NEXT_ERROR  a system error code (decimal or 0x hex): every
//                       FindNextFileW of the run fails with it
//   QX_LOCK_WAIT_MS     how long a run waits for another run's lock
//   QX_LOCK_CREATE_DENIED  when set, making the run's lock is refused with
//                       ERROR_ACCESS_DENIED, as Windows refuses it to an
//                       account that the existing lock does not grant
//                       full access
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

// Log file faults on request, replacing log/log_seams.cpp in the fault
// build and in the unit tests. Read at every call, so tests may change them
// while a process runs:
//   QX_LOG_WRITE_LIMIT  a byte count: every write of the log file that is
//                       longer writes only that many bytes and fails with
//                       ERROR_DISK_FULL, as on a disk that fills up
//   QX_LOG_CUT_ERROR    a system error code (decimal or 0x hex): cutting a
//                       failed write back off the file fails with it
//   QX_LOG_WRITE_DELAY_MS  milliseconds that every write of the log file
//                       takes before it starts, as on a slow share
// Without them both behave as in the shipped exe.
#include "log/log_seams.h"

#include "environment_number.h"

BOOL WriteLogBytes(HANDLE file, const void* bytes, DWORD size, DWORD* written) noexcept
{
    if (const std::optional<DWORD> delay = NumberFromEnvironment(L"QX_LOG_WRITE_DELAY_MS")) {
        ::Sleep(*delay);
    }
    const std::optional<DWORD> limit = NumberFromEnvironment(L"QX_LOG_WRITE_LIMIT");
    if (!limit || size <= *limit) {
        return ::WriteFile(file, bytes, size, written, nullptr);
    }
    ::WriteFile(file, bytes, *limit, written, nullptr);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

BOOL CutLogFile(HANDLE file) noexcept
{
    if (const std::optional<DWORD> error = NumberFromEnvironment(L"QX_LOG_CUT_ERROR")) {
        ::SetLastError(*error);
        return FALSE;
    }
    return ::SetEndOfFile(file);
}

// Log reading faults on request, replacing logsummary/read_seam.cpp in the
// unit tests. Read at every call:
//   QX_SUMMARY_READ_FAIL_AT  a byte offset: a read that would reach past
//                            it fails with ERROR_LOCK_VIOLATION, as a read
//                            of a range that another process has locked
// Without it reads behave as in the shipped summary tool.
#include "read_seam.h"

#include "environment_number.h"

BOOL ReadLogFileBytes(HANDLE file, void* bytes, DWORD size, DWORD* read) noexcept
{
    const std::optional<DWORD> failAt = NumberFromEnvironment(L"QX_SUMMARY_READ_FAIL_AT");
    LARGE_INTEGER position = {};
    if (failAt && ::SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT)
        && position.QuadPart + size > *failAt) {
        *read = 0;
        ::SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    return ::ReadFile(file, bytes, size, read, nullptr);
}

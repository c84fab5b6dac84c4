#include "log/log_seams.h"

BOOL WriteLogBytes(HANDLE file, const void* bytes, DWORD size, DWORD* written) noexcept
{
    return ::WriteFile(file, bytes, size, written, nullptr);
}

BOOL CutLogFile(HANDLE file) noexcept
{
    return ::SetEndOfFile(file);
}

#include "read_seam.h"

BOOL ReadLogFileBytes(HANDLE file, void* bytes, DWORD size, DWORD* read) noexcept
{
    return ::ReadFile(file, bytes, size, read, nullptr);
}

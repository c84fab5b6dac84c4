#pragma once

#include <windows.h>

// The log files' reads, which the unit tests replace at link time to make
// a read fail part-way through a file on demand: no platform lets a test
// do that to a real file everywhere (Wine ignores locked ranges).

// ReadFile.
BOOL ReadLogFileBytes(HANDLE file, void* bytes, DWORD size, DWORD* read) noexcept;

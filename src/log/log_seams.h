#pragma once

#include <windows.h>

// The log file's writes, which the fault-injection build and the unit
// tests replace at link time to make a write fail part-way, and its
// cutting back fail, on demand. The shipped exe links the plain versions.

// WriteFile.
BOOL WriteLogBytes(HANDLE file, const void* bytes, DWORD size, DWORD* written) noexcept;

// SetEndOfFile.
BOOL CutLogFile(HANDLE file) noexcept;

#pragma once

#include "run/file_holders.h"

#include <windows.h>

// Platform calls of the run that the fault-injection build replaces at link
// time, so that its tests can make them fail or end sooner on demand. Kept
// in a file of their own; the shipped exe links these plain versions.

// FindNextFileW.
BOOL FindNextEntry(HANDLE search, WIN32_FIND_DATAW* entry) noexcept;

// How long a run waits for another run's lock before it gives up.
inline constexpr DWORD kLongestLockWait = 10 * 60 * 1000;
DWORD LongestLockWait() noexcept;

// CreateMutexW, not taking the lock at once.
HANDLE CreateRunMutex(SECURITY_ATTRIBUTES* attributes, const wchar_t* name) noexcept;

// The programs that hold a file open, as Restart Manager lists them.
std::vector<FileHolder> ListFileHolders(const std::wstring& path);

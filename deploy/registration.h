#pragma once

#include <windows.h>

#include <string>

// The hotfix's entry in Programs and Features, in the 32-bit registry view:
// what a person sees, what a detection rule reads without a script, and
// where the uninstall command lives.
inline constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\qx913hotfix2";

struct Registration {
    std::wstring store;       // InstallLocation, with its backslash
    std::wstring uninstaller; // the launcher's copy in the store
    SYSTEMTIME installed = {};
    DWORD estimatedSizeKiB = 0;
};

// "9.1.3.6": the file version of the hotfix and of the launcher.
std::wstring HotfixFileVersion();

// Replaces the entry at keyPath under HKEY_LOCAL_MACHINE whole: an entry
// of an earlier run keeps no value. Returns ERROR_SUCCESS, or the failing
// call's error with no entry left behind.
DWORD RegisterHotfix(const Registration& registration, const wchar_t* keyPath = kUninstallKey);

// Removes the entry; ERROR_SUCCESS also when there is none.
DWORD UnregisterHotfix(const wchar_t* keyPath = kUninstallKey);

// Whether the entry exists.
bool IsHotfixRegistered(const wchar_t* keyPath = kUninstallKey);

#pragma once

#include <string>

// The launcher's copy in the store, which the hotfix's entry in Programs
// and Features runs to take the hotfix back.
inline constexpr wchar_t kStoreLauncherName[] = L"run-hotfix.exe";

// After a good run: copies this launcher into the trusted store and
// registers the hotfix, its uninstall command naming that copy. Returns
// the problem as one line for standard error, empty on success.
std::wstring RegisterHotfixWithStore();

// Whether this launcher is the store's copy.
bool RunsFromStore(const std::wstring& store);

// /uninstall started from the store's copy, which cannot remove the store
// while it runs from it: stages a copy of itself in a private folder, moves
// its own file out of the store and runs the staged copy with /uninstall
// and share. When that removal fails and the store stays, the store gets
// its copy back. Returns the staged copy's exit code, or 1 when it could
// not run, with one line on standard error.
int RemoveThroughStagedCopy(const std::wstring& store, const std::wstring& share);

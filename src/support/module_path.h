#pragma once

#include <string>

// The running executable's full path, read whole however long it is.
// Empty when the system cannot tell it.
std::wstring GetExecutablePath();

// The executable's folder: its drive and directory parts, ending with the
// last backslash or forward slash of the path. Empty when the path is not
// available or names no folder from a root, so that no caller ever falls
// back to a folder relative to the current directory.
std::wstring GetExecutableFolder();

// The folder part of an executable's path, as GetExecutableFolder takes it.
std::wstring FolderOfExecutablePath(const std::wstring& path);

// Appends one backslash unless the text is empty or already ends with one.
// No other character counts as a separator.
std::wstring WithTrailingBackslash(std::wstring folder);

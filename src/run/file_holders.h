#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A running program that holds a file open.
struct FileHolder {
    std::wstring program;
    DWORD processId;
};

// The programs that hold the file at path open, as the system's Restart
// Manager lists them; empty when it cannot be loaded or lists nobody.
std::vector<FileHolder> AskRestartManagerForHolders(const std::wstring& path);

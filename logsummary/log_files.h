#pragma once

#include "log_parser.h"

#include <windows.h>

#include <string>
#include <vector>

// Whether a file name is one the summary reads: "*qx913hotfix2_*.log",
// without regard to case, as the hotfix names its logs and the deployment
// wrapper names their copies ("<computer>_qx913hotfix2_...").
bool IsLogFileName(const std::wstring& name);

// The computer name a collected log's name begins with: what comes before
// "_qx913hotfix2_"; empty when nothing does.
std::wstring MachineOfLogName(const std::wstring& name);

// A folder and a name within it, with one backslash between them.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

struct LogFolderListing {
    std::vector<std::wstring> names; // sorted without regard to case
    DWORD error = ERROR_SUCCESS;     // why the folder could not be listed, or not whole
};

// The log files directly in a folder; folders and names that merely match
// the pattern's short form are left out.
LogFolderListing ListLogFiles(const std::wstring& folder);

// Hands out each run that a log file holds (see LogParser). A file that
// cannot be opened or read whole gives, in place of the run being read, one
// unreadable run whose error names the failing call: "ReadFile,
// GetLastError, 0x00000021". The file is read up to the size it had when
// it was opened, so that a file still growing cannot keep the reading going.
void SummarizeLogFile(const std::wstring& path, const LogParser::RunHandler& onRun);

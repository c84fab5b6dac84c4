#pragma once

#include "log_parser.h"

#include <windows.h>

#include <string>
#include <vector>

// The code that installers return when they cannot go on now but can later
// (ERROR_INSTALL_ALREADY_RUNNING): Configuration Manager and Intune retry it
// soon by default, without being told.
inline constexpr int kRetryLater = 1618;

// The code a deployment tool gets for a run of the hotfix, or of a removal,
// that exited with exeCode and logged runs (the runs of its log, in order;
// its own is the last). 0 stays 0. A run that failed on a file in use
// (0x20, or 0x21 for a locked range) or on another run that held the lock
// past the wait gives kRetryLater; any other failure 1. The exe's code
// passes unchanged when it is neither 0 nor 1 (a crash's exception code),
// when the log holds no run that could be read, and when the run logged no
// failure.
int DeploymentExitCode(DWORD exeCode, const std::vector<RunSummary>& runs);

// The same, for the run whose log is at logPath (empty: none was left).
int DeploymentExitCodeOfLog(DWORD exeCode, const std::wstring& logPath);

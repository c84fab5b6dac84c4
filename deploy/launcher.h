#pragma once

#include "keeping.h"

#include <windows.h>

#include <string>
#include <vector>

// Exit code when the package cannot be staged, does not match its checksum
// list or its exe cannot be started, or when a good run cannot be registered;
// otherwise the exe's own code as deployment tools read it (see
// deployment_code.h).
constexpr int kLauncherFailed = 1;

// The share as given on the command line, without any double quote: from
// `run-hotfix.exe "\\server\logs\"`, as cmd scripts write it, the run-time
// library reads the last backslash as escaping the quote and passes
// `\\server\logs"`. No Windows path holds a double quote.
std::wstring ShareOfArgument(std::wstring argument);

// True when the argument is "/uninstall", in any case.
bool IsUninstallSwitch(const wchar_t* argument);

// Runs this machine's own copy of the hotfix from a private folder: stages
// qxhotfix.exe and the shipped folders of the launcher's own folder (the
// package, only ever read) into a new private folder under the temporary
// folder, checks them against the package's SHA256SUMS, runs the exe there
// with /s after keeping in the store the install files that it will
// replace (see keeping.h), keeps its log in the temporary folder, copies it
// into share (when not empty) as "<computer name>_<log name>" and removes
// the private folder. After a good run it registers the hotfix in Programs
// and Features (see store_launcher.h). Returns the exe's exit code as
// deployment tools read it (see deployment_code.h), or kLauncherFailed;
// every problem is one line on standard error.
int RunLauncher(const std::wstring& share);

// Checks the staged copies in stage against the checksum list of package
// (both folders end with a backslash); staged holds the package-relative
// path of every staged file, and digests receives what is read of each.
// Returns the problem as one line for standard error, empty when the run
// may go on: a package without a list is said so on standard error, and
// runs.
std::wstring ChecksumProblem(const std::wstring& package, const std::wstring& stage,
                             const std::vector<std::wstring>& staged, StagedDigests& digests);

// Runs the program name in folder (with its backslash) with the arguments,
// by its full path and with folder as its current folder, and waits for it.
// Returns ERROR_SUCCESS and its exit code, or the error that kept it from
// starting.
DWORD RunProgramIn(const std::wstring& folder, const wchar_t* name, const std::wstring& arguments, DWORD& exitCode);

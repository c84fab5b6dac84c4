#pragma once

// The checks that frame a run, before anything is copied.

// True when an argument after the program name is "/s" in either case.
// Writes the run's mode to the log; this is the run's first entry.
bool IsSilentMode(int argc, const wchar_t* const* argv);

// Whether the installed release is 9.1.3, read as CheckApplicableVersion
// reads it, without any log entry.
bool IsApplicableRelease();

// Whether the registry's ProductType is 1, read as IsProductType1 reads it,
// without any log entry.
bool ReadsAsProductType1();

// Returns when the installed release is 9.1.3; otherwise logs an error and
// raises the failed outcome.
void CheckApplicableVersion();

// True when the registry's ProductType is 1; logs the value read.
bool IsProductType1();

// True when the machine's native processor architecture is x64.
bool IsNativeX64();

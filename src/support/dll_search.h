#pragma once

// Limits DLL loading to the system folder where the system supports it, so
// that no DLL beside the executable (often a share) or in the current folder
// is ever loaded into a process with administrator rights. Called first thing.
void RestrictDllSearchPath();

#pragma once

#include <string>

// The folders the hotfix copies between: install folders named by the
// product's registry values, and folders shipped beside the executable.
// Every folder found is logged, an empty one too. A non-empty folder ends
// with a backslash. The destination functions replace the content of the
// caller's string.

// InstallBinPath from the 64-bit registry view, or from the process's own
// view; empty when it is missing or not a REG_SZ. Never raises.
std::wstring GetInstallBinPath(bool use64BitView);

// ActivatorPath, always from the process's own registry view; empty when it
// is missing or not a REG_SZ. Never raises.
std::wstring GetActivatorPath();

// The destination folders as the Get...InstallPath functions below find
// them, without any log entry: empty where those would raise. For finding
// the run's plan in advance, with the run's own reads.
std::wstring FindLicenserInstallPath(bool use64BitView);
std::wstring FindActivatorInstallPath();
std::wstring FindModuleInstallPath(bool use64BitView);

// InstallBinPath followed by "licensers\". Raises the failed outcome when
// InstallBinPath is empty.
void GetLicenserInstallPath(std::wstring& destination, bool use64BitView);

// The ActivatorPath folder. Raises the failed outcome when it is empty.
void GetActivatorInstallPath(std::wstring& destination);

// The InstallBinPath folder. Raises the failed outcome when it is empty.
void GetModuleInstallPath(std::wstring& destination, bool use64BitView);

// The executable's folder followed by subFolder. Raises the failed outcome
// when the executable's folder cannot be told.
void GetModulesPath(std::wstring& source, const std::wstring& subFolder);

#include "run/install_paths.h"

#include "log/debug_log.h"
#include "registry/reg_util.h"
#include "run/outcome.h"
#include "support/module_path.h"

#include <windows.h>

namespace {

constexpr const wchar_t* kLicenserSubFolder = L"licensers\\";
constexpr const wchar_t* kActivatorKey = L"Licenseactivator";

// A registry text as a folder; the reader's null text counts as empty.
std::wstring FolderFromRegistry(const wchar_t* text)
{
    return WithTrailingBackslash(text ? std::wstring(text) : std::wstring());
}

// Logs and raises when a destination could not be read from the registry.
void RequireInstallBinPath(const std::wstring& folder)
{
    if (folder.empty()) {
        DebugLogPrintf(L"[error]: Unable to get the Quorvex InstallBinPath.");
        RaiseOutcome(kOutcomeFailed);
    }
}

std::wstring ReadInstallBinPath(bool use64BitView)
{
    CQXRegUtil registry(HKEY_LOCAL_MACHINE, use64BitView);
    return FolderFromRegistry(registry.GetRegString(L"", L"InstallBinPath"));
}

std::wstring ReadActivatorPath()
{
    CQXRegUtil registry(HKEY_LOCAL_MACHINE, false);
    return FolderFromRegistry(registry.GetRegString(kActivatorKey, L"ActivatorPath"));
}

} // namespace

std::wstring GetInstallBinPath(bool use64BitView)
{
    std::wstring folder = ReadInstallBinPath(use64BitView);
    if (use64BitView) {
        DebugLogPrintf(L"[info]: Quorvex InstallBinPath(x64), \"%s\"", folder.c_str());
    } else {
        DebugLogPrintf(L"[info]: Quorvex InstallBinPath(x86), \"%s\"", folder.c_str());
    }
    return folder;
}

std::wstring GetActivatorPath()
{
    std::wstring folder = ReadActivatorPath();
    DebugLogPrintf(L"[info]: LicenseActivator Path, \"%s\"", folder.c_str());
    return folder;
}

std::wstring FindLicenserInstallPath(bool use64BitView)
{
    const std::wstring folder = ReadInstallBinPath(use64BitView);
    return folder.empty() ? folder : folder + kLicenserSubFolder;
}

std::wstring FindActivatorInstallPath()
{
    return ReadActivatorPath();
}

std::wstring FindModuleInstallPath(bool use64BitView)
{
    return ReadInstallBinPath(use64BitView);
}

void GetLicenserInstallPath(std::wstring& destination, bool use64BitView)
{
    destination = GetInstallBinPath(use64BitView);
    RequireInstallBinPath(destination);
    destination += kLicenserSubFolder;
    DebugLogPrintf(L"[info]: Quorvex Licenser Install Path, \"%s\"", destination.c_str());
}

void GetActivatorInstallPath(std::wstring& destination)
{
    destination = GetActivatorPath();
    if (destination.empty()) {
        DebugLogPrintf(L"[error]: Unable to get LicenseActivator Path.");
        RaiseOutcome(kOutcomeFailed);
    }
    DebugLogPrintf(L"[info]: ZFA Install Path, \"%s\"", destination.c_str());
}

void GetModuleInstallPath(std::wstring& destination, bool use64BitView)
{
    destination = GetInstallBinPath(use64BitView);
    RequireInstallBinPath(destination);
    DebugLogPrintf(L"[info]: Quorvex Module Install Path, \"%s\"", destination.c_str());
}

void GetModulesPath(std::wstring& source, const std::wstring& subFolder)
{
    // Never a folder relative to the current directory: without the
    // executable's own folder there is nothing trustworthy to copy from.
    const std::wstring executableFolder = GetExecutableFolder();
    if (executableFolder.empty()) {
        DebugLogPrintf(L"[error]: Unable to get the module path.");
        RaiseOutcome(kOutcomeFailed);
    }
    source = executableFolder + subFolder;
    DebugLogPrintf(L"[info]: Modules Path, \"%s\"", source.c_str());
}

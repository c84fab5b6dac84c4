#include "launcher.h"

#include "deployment_code.h"
#include "folder_tree.h"
#include "keeping.h"
#include "long_path.h"
#include "package_check.h"
#include "private_folder.h"
#include "store_launcher.h"
#include "support/module_path.h"
#include "support/standard_error.h"
#include "support/unique_handle.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kExeName[] = L"qxhotfix.exe";
constexpr wchar_t kModules[] = L"modules";
constexpr wchar_t kLogPattern[] = L"qx913hotfix2_*.log";
// "qx913hotfix2_YYYYMMDD_hhmmss.log", as the exe names its log.
constexpr std::wstring::size_type kLogNameLength = 32;
constexpr wchar_t kStagingFailed[] = L"run-hotfix: cannot stage the package: ";
// Far more than a package of tens of files lists.
constexpr LONGLONG kLongestChecksumList = 16LL << 20;

// A sub-folder of the private folder, which inherits its access list.
DWORD CreateInnerFolder(const std::wstring& path)
{
    return ::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) ? ERROR_SUCCESS : ::GetLastError();
}

// Copies the plain files directly in one shipped folder; a folder missing
// from the package stays missing. Adds each copy's relative path to staged.
DWORD StageShippedFolder(const std::wstring& package, const std::wstring& stage, const std::wstring& folder,
                         std::vector<std::wstring>& staged)
{
    const std::wstring relative = std::wstring(kModules) + L"\\" + folder + L"\\";
    if (!IsFolder(package + relative)) {
        return ERROR_SUCCESS;
    }
    const DWORD created = CreateInnerFolder(stage + relative);
    if (created != ERROR_SUCCESS) {
        return created;
    }
    return ForEachEntry(package + relative, L"*", [&](const WIN32_FIND_DATAW& entry) -> DWORD {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            return ERROR_SUCCESS;
        }
        staged.push_back(relative + entry.cFileName);
        return CopyNewFile(package + staged.back(), stage + staged.back());
    });
}

// Copies the exe and the shipped folders into stage; staged receives the
// relative path of every file copied. Stops at the first failure.
DWORD StagePackage(const std::wstring& package, const std::wstring& stage, std::vector<std::wstring>& staged)
{
    staged.push_back(kExeName);
    DWORD error = CopyNewFile(package + kExeName, stage + kExeName);
    if (error == ERROR_SUCCESS) {
        error = CreateInnerFolder(stage + kModules);
    }
    for (const wchar_t* folder : kShippedFolders) {
        if (error == ERROR_SUCCESS) {
            error = StageShippedFolder(package, stage, folder, staged);
        }
    }
    return error;
}

void RemovePrivateFolder(const PrivateFolder& folder)
{
    if (!RemoveFolderTree(folder.path)) {
        PrintError(L"run-hotfix: could not remove the folder " + Quoted(folder.path));
    }
}

// Why the package or the temporary folder cannot take a run; empty when they can.
std::wstring StagingPrecondition(const std::wstring& package, const std::wstring& temp)
{
    if (package.empty()) {
        return L"the launcher cannot tell its own folder";
    }
    if (!IsFile(package + kExeName)) {
        return L"no qxhotfix.exe in " + Quoted(package);
    }
    if (!IsFolder(package + kModules)) {
        return L"no modules folder in " + Quoted(package);
    }
    if (temp.empty()) {
        // GetTempPathW gives none longer than MAX_PATH: a longer TMP ends here.
        return L"the system names no temporary folder (TMP, TEMP)";
    }
    if (!IsFolder(temp)) {
        return L"the temporary folder " + Quoted(temp) + L" does not exist";
    }
    return std::wstring();
}

bool IsDigits(const std::wstring& text)
{
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// The name of the log the run wrote into the private folder; empty when
// there is none.
std::wstring RunLogName(const std::wstring& stage)
{
    std::wstring found;
    ForEachEntry(stage, kLogPattern, [&](const WIN32_FIND_DATAW& entry) -> DWORD {
        const std::wstring name = entry.cFileName;
        const bool isRunLog = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name.size() == kLogNameLength
                              && IsDigits(name.substr(13, 8)) && name[21] == L'_' && IsDigits(name.substr(22, 6));
        if (isRunLog) {
            found = name;
        }
        return ERROR_SUCCESS;
    });
    return found;
}

// "<log name without .log>_<private folder name>.log": unique as the
// private folder's name is.
std::wstring KeptLogName(const std::wstring& logName, const PrivateFolder& folder)
{
    return logName.substr(0, logName.size() - 4) + L"_" + folder.name + L".log";
}

// Moves the run's log out of the private folder into the temporary folder,
// copies it to the share and removes the private folder. A log that cannot
// be moved keeps the private folder, and says so. Returns where the log
// is; empty when the run left none there.
std::wstring FinishRun(const PrivateFolder& folder, const std::wstring& temp, const std::wstring& share)
{
    const std::wstring logName = RunLogName(folder.path);
    if (logName.empty()) {
        // The exe logs into the temporary folder when its log's path would
        // be too long in its own folder.
        PrintError(L"run-hotfix: the run left no log in " + Quoted(folder.path) + L": look for it in " + Quoted(temp));
        RemovePrivateFolder(folder);
        return std::wstring();
    }
    const std::wstring keptName = KeptLogName(logName, folder);
    std::wstring keptLog = temp + keptName;
    // No flag: an existing file is never replaced.
    if (!::MoveFileExW(ExtendedLengthPath(folder.path + logName).c_str(), ExtendedLengthPath(keptLog).c_str(), 0)) {
        PrintError(L"run-hotfix: could not move the log out of " + Quoted(folder.path) + L", which is kept, "
                   + ErrorText(::GetLastError()));
        return folder.path + logName;
    }
    if (!share.empty()) {
        CopyLogToShare(keptLog, keptName, share);
    }
    RemovePrivateFolder(folder);
    return keptLog;
}

BOOL CreateFolderWithAccessList(const wchar_t* path, SECURITY_ATTRIBUTES* attributes)
{
    return ::CreateDirectoryW(path, attributes);
}

// Says why the run cannot go on and removes the private folder.
int StopBeforeTheRun(const PrivateFolder& folder, const std::wstring& line)
{
    PrintError(line);
    RemovePrivateFolder(folder);
    return kLauncherFailed;
}

// Stages, checks, keeps what the run replaces and runs the package in
// folder; returns the exit code.
int RunInPrivateFolder(const std::wstring& package, const PrivateFolder& folder, const std::wstring& temp,
                       const std::wstring& share)
{
    std::vector<std::wstring> staged;
    const DWORD stagingError = StagePackage(package, folder.path, staged);
    if (stagingError != ERROR_SUCCESS) {
        return StopBeforeTheRun(folder, kStagingFailed + std::wstring(L"copying ") + Quoted(package) + L" into "
                                            + Quoted(folder.path) + L" failed, " + ErrorText(stagingError));
    }
    StagedDigests digests;
    const std::wstring problem = ChecksumProblem(package, folder.path, staged, digests);
    if (!problem.empty()) {
        return StopBeforeTheRun(folder, problem);
    }
    // Held until the run has ended: no other launcher may keep, as
    // originals, files that this run is replacing.
    const LauncherLock oneLauncherAtATime;
    if (!oneLauncherAtATime.Problem().empty()) {
        return StopBeforeTheRun(folder, oneLauncherAtATime.Problem());
    }
    const std::wstring keepingProblem = KeepForRun(folder.path, digests);
    if (!keepingProblem.empty()) {
        return StopBeforeTheRun(folder, keepingProblem);
    }
    DWORD exitCode = 0;
    const DWORD startError = RunProgramIn(folder.path, kExeName, L"/s", exitCode);
    if (startError != ERROR_SUCCESS) {
        return StopBeforeTheRun(folder, L"run-hotfix: cannot run " + Quoted(folder.path + kExeName) + L", "
                                            + ErrorText(startError));
    }
    const std::wstring log = FinishRun(folder, temp, share);
    if (exitCode == ERROR_SUCCESS) {
        // Still under the launchers' lock: no removal runs meanwhile.
        const std::wstring registrationProblem = RegisterHotfixWithStore();
        if (!registrationProblem.empty()) {
            PrintError(registrationProblem);
            return kLauncherFailed;
        }
    }
    return DeploymentExitCodeOfLog(exitCode, log);
}

} // namespace

DWORD RunProgramIn(const std::wstring& folder, const wchar_t* name, const std::wstring& arguments, DWORD& exitCode)
{
    const std::wstring startable = StartablePath(folder);
    const std::wstring program = startable.empty() ? std::wstring() : StartablePath(startable + name);
    if (program.empty()) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    std::wstring commandLine = Quoted(program) + L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, startable.c_str(),
                          &startup, &process)) {
        return ::GetLastError();
    }
    const UniqueKernelHandle processHandle(process.hProcess);
    const UniqueKernelHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0
        || !::GetExitCodeProcess(process.hProcess, &exitCode)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

std::wstring ChecksumProblem(const std::wstring& package, const std::wstring& stage,
                             const std::vector<std::wstring>& staged, StagedDigests& digests)
{
    const std::wstring listPath = package + kChecksumListName;
    if (AttributesOf(listPath) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        PrintError(L"run-hotfix: no SHA256SUMS in " + Quoted(package) + L": the package is not checked");
        return std::wstring();
    }
    const std::optional<std::string> text = ReadSmallFile(listPath, kLongestChecksumList);
    const std::optional<ChecksumList> list = text ? ParseChecksumList(*text) : std::nullopt;
    if (!list) {
        return L"run-hotfix: cannot read the checksum list " + Quoted(listPath);
    }
    const FileHasher hasher;
    const std::wstring mismatch = FirstMismatch(
        *list, staged, [&](const std::wstring& path) { return digests[stage + path] = hasher.DigestOf(stage + path); });
    return mismatch.empty() ? mismatch : L"run-hotfix: the package does not match SHA256SUMS: " + mismatch;
}

std::wstring ShareOfArgument(std::wstring argument)
{
    argument.erase(std::remove(argument.begin(), argument.end(), L'"'), argument.end());
    return argument;
}

bool IsUninstallSwitch(const wchar_t* argument)
{
    return ::CompareStringOrdinal(argument, -1, L"/uninstall", -1, TRUE) == CSTR_EQUAL;
}

int RunLauncher(const std::wstring& share)
{
    const std::wstring package = GetExecutableFolder();
    const std::wstring temp = TemporaryFolder(LookUpGetTempPath2());
    const std::wstring precondition = StagingPrecondition(package, temp);
    if (!precondition.empty()) {
        PrintError(kStagingFailed + precondition);
        return kLauncherFailed;
    }
    const PrivateFolder folder = CreatePrivateFolder(temp, kPrivateFolderSddl, CreateFolderWithAccessList);
    if (folder.error != ERROR_SUCCESS) {
        PrintError(kStagingFailed + std::wstring(L"cannot create a folder in ") + Quoted(temp) + L", "
                   + ErrorText(folder.error));
        return kLauncherFailed;
    }
    return RunInPrivateFolder(package, folder, temp, share);
}

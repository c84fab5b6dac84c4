#include "removal.h"

#include "deployment_code.h"
#include "folder_tree.h"
#include "keeping.h"
#include "long_path.h"
#include "package_check.h"
#include "private_folder.h"
#include "record.h"
#include "registration.h"
#include "removal_log.h"
#include "run/folder_copy.h"
#include "store.h"
#include "store_launcher.h"
#include "support/standard_error.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kRemoved = 0;
constexpr int kRemovalFailed = 1;
constexpr wchar_t kNothingRestored[] = L"run-hotfix: nothing was restored: ";

// What the removal does to one recorded install file.
enum class Step { kLeave, kRestore, kDelete };

struct PlannedStep {
    Step step = Step::kLeave;
    const RecordEntry* entry = nullptr;
    std::wstring kept; // the kept copy, for a restore
};

// Why a recorded file stops the removal before any change: one line for
// standard error, and the log's entries.
struct Refusal {
    std::wstring line;
    std::vector<std::wstring> entries;
    DWORD error = ERROR_SUCCESS;
    const wchar_t* call = nullptr;
};

bool IsShipped(const RecordEntry& entry, const std::string& digest)
{
    return std::find(entry.packageDigests.begin(), entry.packageDigests.end(), digest) != entry.packageDigests.end();
}

Refusal ChangedSinceTheHotfix(const std::wstring& destination)
{
    return Refusal{std::wstring(kNothingRestored) + Quoted(destination) + L" has changed since the hotfix",
                   {L"[error]: Changed since the hotfix, \"" + destination + L"\""}};
}

Refusal CannotBeReplaced(const wchar_t* call, const std::wstring& destination, DWORD error)
{
    return Refusal{std::wstring(kNothingRestored) + Quoted(destination) + L" cannot be replaced, " + ErrorText(error),
                   {ResultEntry(call, destination, false)},
                   error,
                   call};
}

// Decides the step for one entry without changing anything; a refusal
// when the file is neither the original nor a shipped file, or the step
// could not be taken.
std::optional<Refusal> PlanStep(const std::wstring& store, std::size_t index, const RecordEntry& entry,
                                const FileHasher& hasher, PlannedStep& planned)
{
    planned.entry = &entry;
    if (entry.existed) {
        planned.kept = store + KeptFileName(index);
        if (hasher.DigestOf(planned.kept) != entry.originalDigest) {
            return Refusal{std::wstring(kNothingRestored) + L"the kept copy of " + Quoted(entry.destination)
                               + L" has changed",
                           {L"[error]: Kept copy changed, \"" + entry.destination + L"\""}};
        }
    }
    if (AttributesOf(entry.destination) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        if (gone && !entry.existed) {
            return std::nullopt;
        }
        return gone ? ChangedSinceTheHotfix(entry.destination)
                    : CannotBeReplaced(L"ReadFile", entry.destination, error);
    }
    const std::string digest = hasher.DigestOf(entry.destination);
    if (digest.empty()) {
        const DWORD refusal = ReplacementRefusal(entry.destination, entry.destination);
        return CannotBeReplaced(L"ReadFile", entry.destination, refusal == ERROR_SUCCESS ? ERROR_READ_FAULT : refusal);
    }
    if (entry.existed && digest == entry.originalDigest) {
        return std::nullopt;
    }
    if (!IsShipped(entry, digest)) {
        return ChangedSinceTheHotfix(entry.destination);
    }
    planned.step = entry.existed ? Step::kRestore : Step::kDelete;
    const std::wstring& replacement = entry.existed ? planned.kept : entry.destination;
    const DWORD refusal = ReplacementRefusal(replacement, entry.destination);
    if (refusal != ERROR_SUCCESS) {
        return CannotBeReplaced(entry.existed ? L"RestoreFile" : L"DeleteFile", entry.destination, refusal);
    }
    return std::nullopt;
}

int Refuse(const Refusal& refusal, RemovalLog& log)
{
    for (const std::wstring& entry : refusal.entries) {
        log.Write(entry);
    }
    if (refusal.call) {
        log.WriteError(refusal.call, refusal.error);
    }
    PrintError(refusal.line);
    return kRemovalFailed;
}

// ERROR_SUCCESS or the error of the step, which is logged either way.
DWORD TakeStep(const PlannedStep& planned, RemovalLog& log)
{
    const std::wstring destination = ExtendedLengthPath(planned.entry->destination);
    const bool restore = planned.step == Step::kRestore;
    const bool done = restore ? ::CopyFileW(ExtendedLengthPath(planned.kept).c_str(), destination.c_str(), FALSE)
                              : ::DeleteFileW(destination.c_str());
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    const wchar_t* call = restore ? L"RestoreFile" : L"DeleteFile";
    log.Write(ResultEntry(call, planned.entry->destination, done));
    if (!done) {
        log.WriteError(call, error);
    }
    return error;
}

// Checks every entry, then takes every step; the exit code.
int RestoreRecorded(const std::wstring& store, const Record& record, RemovalLog& log)
{
    const FileHasher hasher;
    std::vector<PlannedStep> steps(record.entries.size());
    for (std::size_t index = 0; index < record.entries.size(); ++index) {
        const std::optional<Refusal> refusal = PlanStep(store, index, record.entries[index], hasher, steps[index]);
        if (refusal) {
            return Refuse(*refusal, log);
        }
    }
    for (const PlannedStep& planned : steps) {
        if (planned.step == Step::kLeave) {
            continue;
        }
        const DWORD error = TakeStep(planned, log);
        if (error != ERROR_SUCCESS) {
            // The store stays, so that a later removal can finish the job.
            PrintError(L"run-hotfix: the removal stopped at " + Quoted(planned.entry->destination) + L", "
                       + ErrorText(error));
            return kRemovalFailed;
        }
    }
    log.Write(L"[info]: Hotfix is removed.");
    return kRemoved;
}

// Removes the hotfix's entry in Programs and Features, last of all, so that
// the hotfix shows as installed for as long as anything of it is left.
int UnregisterLast()
{
    const DWORD error = UnregisterHotfix();
    if (error != ERROR_SUCCESS) {
        PrintError(L"run-hotfix: could not remove the hotfix's entry in Programs and Features, " + ErrorText(error));
        return kRemovalFailed;
    }
    return kRemoved;
}

// Removes the hotfix as the trusted store's record says; the exit code.
int RemoveFromStore(OpenedStore& store, RemovalLog& log)
{
    log.Write(L"[info]: Uninstall Mode");
    DWORD error = ERROR_SUCCESS;
    const std::optional<Record> record = ReadRecord(store.path, error);
    if (!record) {
        log.WriteError(L"ReadRecord", error);
        PrintError(kNothingRestored + std::wstring(L"cannot read the record ") + Quoted(store.path + kRecordName)
                   + L", " + ErrorText(error));
        return kRemovalFailed;
    }
    const int exitCode = RestoreRecorded(store.path, *record, log);
    if (exitCode != kRemoved) {
        return exitCode;
    }
    store.hold.reset();
    if (!RemoveFolderTree(store.path)) {
        // The entry in Programs and Features stays with the store: a later
        // removal finds every file restored and removes both.
        PrintError(L"run-hotfix: could not remove the store " + Quoted(store.path));
        return kRemovalFailed;
    }
    return UnregisterLast();
}

} // namespace

int RemoveFromStoreAt(const std::wstring& storePath, const std::wstring& logFolder, std::wstring& logPath)
{
    OpenedStore store = OpenStore(storePath, false);
    if (!store.exists) {
        if (IsHotfixRegistered()) {
            PrintError(L"run-hotfix: the hotfix's entry in Programs and Features has no store: removing the entry");
            return UnregisterLast();
        }
        PrintError(L"run-hotfix: the hotfix was not applied through the launcher on this machine: nothing to remove");
        return kRemoved;
    }
    if (!store.problem.empty()) {
        PrintError(store.problem);
        return kRemovalFailed;
    }
    RemovalLog log(logFolder);
    const int exitCode = RemoveFromStore(store, log);
    logPath = log.Path();
    return exitCode;
}

int RunRemoval(const std::wstring& share)
{
    const std::wstring storePath = StoreFolder();
    if (storePath.empty()) {
        PrintError(L"run-hotfix: the system names no ProgramData folder");
        return kRemovalFailed;
    }
    // Started as the entry's uninstall command; the staged copy takes the
    // launchers' lock.
    if (RunsFromStore(storePath)) {
        return RemoveThroughStagedCopy(storePath, share);
    }
    const LauncherLock oneLauncherAtATime;
    if (!oneLauncherAtATime.Problem().empty()) {
        PrintError(oneLauncherAtATime.Problem());
        return kRemovalFailed;
    }
    std::wstring logPath;
    const int exitCode = RemoveFromStoreAt(storePath, TemporaryFolder(LookUpGetTempPath2()), logPath);
    if (!share.empty() && !logPath.empty()) {
        CopyLogToShare(logPath, logPath.substr(logPath.rfind(L'\\') + 1), share);
    }
    return DeploymentExitCodeOfLog(static_cast<DWORD>(exitCode), logPath);
}

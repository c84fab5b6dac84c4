#include "keeping.h"

#include "folder_tree.h"
#include "long_path.h"
#include "record.h"
#include "store.h"
#include "run/copy_plan.h"
#include "run/folder_copy.h"
#include "run/platform_seams.h"
#include "run/single_run.h"
#include "support/standard_error.h"

#include <algorithm>

namespace {

constexpr wchar_t kLockName[] = L"Global\\qxhotfix-9.1.3-keep";

// The record's entries for the planned files: one per destination, in the
// order of its first copy, with the digest of every file copied there.
std::vector<RecordEntry> PlannedEntries(const std::vector<PlannedFile>& files)
{
    std::vector<RecordEntry> planned;
    EntryIndex index;
    for (const PlannedFile& file : files) {
        const std::optional<std::size_t> found = index.Find(file.destination);
        if (found) {
            AddPackageDigest(planned[*found], file.packageDigest);
        } else {
            index.Add(file.destination, planned.size());
            planned.push_back(RecordEntry{file.destination, false, std::string(), {file.packageDigest}});
        }
    }
    return planned;
}

bool HoldsAShippedFile(const RecordEntry& entry, const std::string& digest)
{
    return std::find(entry.packageDigests.begin(), entry.packageDigests.end(), digest) != entry.packageDigests.end();
}

// Adds what a destination held before the run to the record: nothing when
// it already holds a shipped file. Keeps a copy of an existing one as the
// record's next kept file, noted in kept. ERROR_SUCCESS or the error.
DWORD KeepOne(const std::wstring& store, RecordEntry entry, Record& record, std::vector<std::wstring>& kept,
              const FileHasher& hasher)
{
    if (AttributesOf(entry.destination) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return error;
        }
        record.entries.push_back(std::move(entry));
        return ERROR_SUCCESS;
    }
    const std::wstring copy = store + KeptFileName(record.entries.size());
    // A file of that name is a leftover of a launcher that ended before it
    // wrote the record: no record names it.
    if (!::CopyFileW(ExtendedLengthPath(entry.destination).c_str(), ExtendedLengthPath(copy).c_str(), FALSE)) {
        return ::GetLastError();
    }
    kept.push_back(copy);
    entry.originalDigest = hasher.DigestOf(copy);
    if (entry.originalDigest.empty()) {
        return ERROR_READ_FAULT;
    }
    if (HoldsAShippedFile(entry, entry.originalDigest)) {
        // Hotfixed before, by a run that kept nothing: not an original.
        ::DeleteFileW(ExtendedLengthPath(copy).c_str());
        kept.pop_back();
        return ERROR_SUCCESS;
    }
    entry.existed = true;
    record.entries.push_back(std::move(entry));
    return ERROR_SUCCESS;
}

void RemoveKept(const std::vector<std::wstring>& kept)
{
    for (const std::wstring& copy : kept) {
        ::SetFileAttributesW(ExtendedLengthPath(copy).c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(ExtendedLengthPath(copy).c_str());
    }
}

} // namespace

std::optional<std::vector<PlannedFile>> PlanOfRun(const std::wstring& stage, const StagedDigests& staged,
                                                  const FileHasher& hasher, std::wstring& unreadable)
{
    const std::optional<std::vector<CopyPair>> plan = FindCopyPlan(stage);
    if (!plan) {
        return std::nullopt;
    }
    std::vector<PlannedFile> files;
    for (const CopyPair& pair : *plan) {
        const std::optional<std::vector<std::wstring>> names = ListPlainFiles(pair.source);
        if (!names) {
            return std::nullopt;
        }
        for (const std::wstring& name : *names) {
            const auto known = staged.find(pair.source + name);
            PlannedFile file{pair.destination + name,
                             known != staged.end() ? known->second : hasher.DigestOf(pair.source + name)};
            if (file.packageDigest.empty()) {
                unreadable = pair.source + name;
                return std::nullopt;
            }
            files.push_back(std::move(file));
        }
    }
    return files;
}

std::wstring KeepOriginals(const std::wstring& store, const std::vector<PlannedFile>& files, const FileHasher& hasher)
{
    DWORD error = ERROR_SUCCESS;
    std::optional<Record> record = ReadRecord(store, error);
    if (!record) {
        return L"run-hotfix: cannot read the record " + Quoted(store + kRecordName) + L", " + ErrorText(error);
    }
    const std::string before = FormatRecord(*record);
    // Entries added below are new destinations: the index needs only the old ones.
    const EntryIndex recorded(*record);
    std::vector<std::wstring> kept;
    for (RecordEntry& planned : PlannedEntries(files)) {
        const std::optional<std::size_t> index = recorded.Find(planned.destination);
        if (index) {
            for (const std::string& digest : planned.packageDigests) {
                AddPackageDigest(record->entries[*index], digest);
            }
            continue;
        }
        const std::wstring destination = planned.destination;
        error = KeepOne(store, std::move(planned), *record, kept, hasher);
        if (error != ERROR_SUCCESS) {
            RemoveKept(kept);
            return L"run-hotfix: cannot keep " + Quoted(destination) + L", " + ErrorText(error);
        }
    }
    if (FormatRecord(*record) == before) {
        return std::wstring();
    }
    record->time = RecordTime();
    error = ReplaceRecord(store, *record);
    if (error != ERROR_SUCCESS) {
        RemoveKept(kept);
        return L"run-hotfix: cannot write the record " + Quoted(store + kRecordName) + L", " + ErrorText(error);
    }
    return std::wstring();
}

std::wstring KeepForRun(const std::wstring& stage, const StagedDigests& staged)
{
    const FileHasher hasher;
    std::wstring unreadable;
    const std::optional<std::vector<PlannedFile>> files = PlanOfRun(stage, staged, hasher, unreadable);
    if (!unreadable.empty()) {
        return L"run-hotfix: cannot read the staged file " + Quoted(unreadable);
    }
    if (!files) {
        // The run copies nothing, and fails as it always did.
        return std::wstring();
    }
    const std::wstring path = StoreFolder();
    if (path.empty()) {
        return L"run-hotfix: the system names no ProgramData folder for the store";
    }
    const OpenedStore store = OpenStore(path, true);
    return store.problem.empty() ? KeepOriginals(store.path, *files, hasher) : store.problem;
}

LauncherLock::LauncherLock()
{
    // Made and checked as the exe's own lock is: owned by the Administrators,
    // and one that another account made is no launcher's.
    OpenedRunLock lock = OpenRunLock(kLockName);
    if (lock.error == ERROR_INVALID_OWNER) {
        // Squatting the name may cost the exclusion, never the deployment.
        PrintError(L"run-hotfix: another account holds the name of the launchers' lock; going on without it");
        return;
    }
    if (!lock.mutex) {
        problem_ = L"run-hotfix: cannot make the launchers' lock, " + ErrorText(lock.error);
        return;
    }
    mutex_ = std::move(lock.mutex);
    const DWORD waited = ::WaitForSingleObject(mutex_.get(), kLongestLockWait);
    // An abandoned lock is held all the same: its launcher ended.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        problem_ = L"run-hotfix: another run of the launcher did not finish in time";
        mutex_.reset();
    }
}

LauncherLock::~LauncherLock()
{
    if (mutex_) {
        ::ReleaseMutex(mutex_.get());
    }
}

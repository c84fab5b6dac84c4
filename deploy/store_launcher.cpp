#include "store_launcher.h"

#include "folder_tree.h"
#include "launcher.h"
#include "private_folder.h"
#include "registration.h"
#include "store.h"
#include "support/module_path.h"
#include "support/standard_error.h"

#include <windows.h>

namespace {

constexpr int kFailed = 1;
// The store's copy, once moved out of the store by the run of it.
constexpr wchar_t kMovedLauncherName[] = L"run-hotfix-from-store.exe";

bool IsSamePath(const std::wstring& one, const std::wstring& other)
{
    return ::CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// What the store's files take on the disk, in KiB rounded up, as
// Programs and Features shows a program's size.
DWORD StoreSizeKiB(const std::wstring& store)
{
    ULONGLONG bytes = 0;
    ForEachEntry(store, L"*", [&bytes](const WIN32_FIND_DATAW& entry) -> DWORD {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            bytes += (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
        return ERROR_SUCCESS;
    });
    return static_cast<DWORD>((bytes + 1023) / 1024);
}

BOOL CreateFolderWithAccessList(const wchar_t* path, SECURITY_ATTRIBUTES* attributes)
{
    return ::CreateDirectoryW(path, attributes);
}

// Removes the private folder; the file of this running process in it
// cannot go before the process ends, so it and the folder go at the next
// start of Windows.
void RemoveStagingFolder(const std::wstring& folder, const std::wstring& runningFile)
{
    if (RemoveFolderTree(folder)) {
        return;
    }
    ::MoveFileExW(ExtendedLengthPath(runningFile).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    ::MoveFileExW(ExtendedLengthPath(folder).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Runs the staged copy's removal; its exit code, or kFailed when it could
// not run.
int RunStagedRemoval(const std::wstring& folder, const std::wstring& share)
{
    DWORD exitCode = kFailed;
    const std::wstring arguments = L"/uninstall" + (share.empty() ? std::wstring() : L" " + Quoted(share));
    const DWORD error = RunProgramIn(folder, kStoreLauncherName, arguments, exitCode);
    if (error != ERROR_SUCCESS) {
        PrintError(L"run-hotfix: cannot run " + Quoted(folder + kStoreLauncherName) + L", " + ErrorText(error));
        return kFailed;
    }
    return static_cast<int>(exitCode);
}

} // namespace

std::wstring RegisterHotfixWithStore()
{
    const std::wstring path = StoreFolder();
    if (path.empty()) {
        return L"run-hotfix: the hotfix is not registered: the system names no ProgramData folder for the store";
    }
    // Made when keeping found nothing to keep: the uninstall command then
    // has a store to run from, with an empty record.
    const OpenedStore store = OpenStore(path, true);
    if (!store.problem.empty()) {
        return store.problem;
    }
    const std::wstring launcher = store.path + kStoreLauncherName;
    const std::wstring self = GetExecutablePath();
    if (!IsSamePath(self, launcher)
        && !::CopyFileW(ExtendedLengthPath(self).c_str(), ExtendedLengthPath(launcher).c_str(), FALSE)) {
        return L"run-hotfix: the hotfix is not registered: cannot copy the launcher into " + Quoted(store.path) + L", "
               + ErrorText(::GetLastError());
    }
    Registration registration;
    registration.store = store.path;
    registration.uninstaller = launcher;
    ::GetLocalTime(&registration.installed);
    registration.estimatedSizeKiB = StoreSizeKiB(store.path);
    const DWORD error = RegisterHotfix(registration);
    if (error != ERROR_SUCCESS) {
        return L"run-hotfix: the hotfix is not registered in Programs and Features, " + ErrorText(error);
    }
    return std::wstring();
}

bool RunsFromStore(const std::wstring& store)
{
    return IsSamePath(GetExecutableFolder(), store);
}

int RemoveThroughStagedCopy(const std::wstring& store, const std::wstring& share)
{
    const std::wstring temp = TemporaryFolder(LookUpGetTempPath2());
    const PrivateFolder folder = temp.empty()
                                     ? PrivateFolder{std::wstring(), std::wstring(), ERROR_PATH_NOT_FOUND}
                                     : CreatePrivateFolder(temp, kPrivateFolderSddl, CreateFolderWithAccessList);
    if (folder.error != ERROR_SUCCESS) {
        PrintError(L"run-hotfix: cannot create a folder in " + Quoted(temp) + L", " + ErrorText(folder.error));
        return kFailed;
    }
    const std::wstring self = store + kStoreLauncherName;
    const std::wstring moved = folder.path + kMovedLauncherName;
    DWORD error = CopyNewFile(self, folder.path + kStoreLauncherName);
    // A running program's file may be renamed, not deleted: it leaves the
    // store so that the staged copy can remove the store whole.
    if (error == ERROR_SUCCESS
        && !::MoveFileExW(ExtendedLengthPath(self).c_str(), ExtendedLengthPath(moved).c_str(), 0)) {
        error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        PrintError(L"run-hotfix: cannot stage the launcher in " + Quoted(folder.path) + L", " + ErrorText(error));
        RemoveStagingFolder(folder.path, moved);
        return kFailed;
    }
    const int exitCode = RunStagedRemoval(folder.path, share);
    // A removal that failed leaves the store and the entry: the entry's
    // uninstall command must still work.
    if (IsFolder(store) && !IsFile(self)) {
        ::MoveFileExW(ExtendedLengthPath(moved).c_str(), ExtendedLengthPath(self).c_str(), 0);
    }
    RemoveStagingFolder(folder.path, moved);
    return exitCode;
}

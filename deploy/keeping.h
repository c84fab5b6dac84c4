#pragma once

#include "package_check.h"
#include "support/unique_handle.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// Keeping: before the hotfix runs, the launcher keeps in the store every
// install file that the run will replace, and records what it kept.

// Digests of staged files by their full paths, from the package check, so
// that keeping need not read them again.
using StagedDigests = std::map<std::wstring, std::string>;

// A file that the run will copy: its full destination path and the digest
// of the shipped file that the copy puts there.
struct PlannedFile {
    std::wstring destination;
    std::string packageDigest;
};

// The files that the exe staged in stage (a folder with its backslash) will
// copy on this machine, in the order of its copy, found with the exe's own
// code and without any log entry. Nothing when that run would copy nothing
// (its plan cannot be resolved or a shipped folder cannot be listed whole),
// or when a staged file cannot be read: then unreadable names it. A staged
// file's digest comes from staged when it holds it.
std::optional<std::vector<PlannedFile>> PlanOfRun(const std::wstring& stage, const StagedDigests& staged,
                                                  const FileHasher& hasher, std::wstring& unreadable);

// Keeps in store (an open, trusted store folder with its backslash) a copy
// of every planned destination that exists and that the record does not
// hold yet, and records every planned destination: the first original
// wins, and a destination that already holds a shipped file is not an
// original. Returns the problem as one line for standard error, empty on
// success; on failure the store holds what it held before.
std::wstring KeepOriginals(const std::wstring& store, const std::vector<PlannedFile>& files, const FileHasher& hasher);

// Keeps in the store what the run staged in stage will replace: the whole
// of keeping, for the launcher's flow. Keeps nothing when PlanOfRun finds no
// plan. Returns the problem as one line for standard error (an untrusted
// store, a file that cannot be kept), empty when the run may go on.
std::wstring KeepForRun(const std::wstring& stage, const StagedDigests& staged);

// The launchers' own machine-wide lock, held for the life of the object so
// that no two launchers keep or restore at once: one may not record a file
// that another's run replaced. The exe's own lock cannot be held for the
// same purpose, or the exe would wait for it.
class LauncherLock {
  public:
    LauncherLock();
    LauncherLock(const LauncherLock&) = delete;
    LauncherLock& operator=(const LauncherLock&) = delete;
    ~LauncherLock();

    // Empty when held, else one line for standard error.
    const std::wstring& Problem() const { return problem_; }

  private:
    UniqueKernelHandle mutex_;
    std::wstring problem_;
};

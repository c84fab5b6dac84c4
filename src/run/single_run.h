#pragma once

#include "support/unique_handle.h"

// The machine-wide lock as OpenRunLock found it: null, with the system error
// code, when it could be neither made nor opened, or when another account
// than SYSTEM or the Administrators owns it (ERROR_INVALID_OWNER).
struct OpenedRunLock {
    UniqueKernelHandle mutex;
    DWORD error = ERROR_SUCCESS;
};

// Holds the machine-wide hotfix lock for the life of the object, so that
// runs started together (a deployment tool launching twice, a user double-
// clicking) copy one after the other instead of into each other's files.
// When the lock cannot be had at all, the run says so in the log and goes
// on without it. Raises the failed outcome, after an error entry, when
// another run keeps the lock for longer than any run should take.
class SingleRunLock {
  public:
    SingleRunLock();
    // A lock of another name, for tests that must not meet a real run's.
    explicit SingleRunLock(const wchar_t* name);
    // Waits for the lock as OpenRunLock found it.
    explicit SingleRunLock(OpenedRunLock lock);
    // Writes the log before letting the next run go, so that a log file
    // that the two share holds this run's lines ahead of the next one's.
    ~SingleRunLock();
    SingleRunLock(const SingleRunLock&) = delete;
    SingleRunLock& operator=(const SingleRunLock&) = delete;

  private:
    UniqueKernelHandle mutex_;
    bool owned_ = false;
};

// SYSTEM and the Administrators group get full access whichever account
// makes the lock, so that a deployment tool's run as SYSTEM and an
// administrator's elevated run share it. The Administrators own it: both
// tokens hold that group, and an owner is what tells a run's lock from one
// that another account made first under the same name.
inline constexpr const wchar_t* kRunLockAccessList = L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

// The named lock, made with the access list or, when it exists and refuses
// this account full access, opened just to wait on and release it. A lock
// that existed is used only when SYSTEM or the Administrators own it: any
// account may make a name in Global\, and making an existing one ignores
// the access list given, so a user could otherwise hold every run off. The
// error is the failing call's own, read before anything else could change it.
OpenedRunLock OpenRunLock(const wchar_t* name, const wchar_t* accessList = kRunLockAccessList) noexcept;

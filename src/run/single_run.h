#pragma once

#include "support/unique_handle.h"

// The machine-wide lock as OpenRunLock found it: null, with the system error
// code, when it could be neither made nor opened.
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
    ~SingleRunLock();
    SingleRunLock(const SingleRunLock&) = delete;
    SingleRunLock& operator=(const SingleRunLock&) = delete;

  private:
    explicit SingleRunLock(OpenedRunLock lock);

    UniqueKernelHandle mutex_;
    bool owned_ = false;
};

// The named lock, made with full access for SYSTEM and Administrators or,
// when it exists and refuses this account full access, opened just to wait
// on and release it.
OpenedRunLock OpenRunLock(const wchar_t* name) noexcept;

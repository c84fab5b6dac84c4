#pragma once

#include "support/unique_handle.h"

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
    UniqueKernelHandle mutex_;
    bool owned_ = false;
};

// The named lock, made with full access for SYSTEM and Administrators or,
// when it exists and refuses this account full access, opened just to wait
// on and release it. Null, with the system error code, when neither works.
UniqueKernelHandle OpenRunLock(const wchar_t* name, DWORD& error) noexcept;

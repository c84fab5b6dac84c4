#pragma once

#include "support/unique_handle.h"

// Holds the machine-wide hotfix lock for the life of the object, so that
// runs started together (a deployment tool launching twice, a user double-
// clicking) copy one after the other instead of into each other's files.
// When the lock cannot be made at all, the run goes on without it. Raises
// the failed outcome, after an error entry, when another run keeps the lock
// for longer than any run should take.
class SingleRunLock {
  public:
    SingleRunLock();
    ~SingleRunLock();
    SingleRunLock(const SingleRunLock&) = delete;
    SingleRunLock& operator=(const SingleRunLock&) = delete;

  private:
    UniqueKernelHandle mutex_;
    bool owned_ = false;
};

#include "run/single_run.h"

#include "log/debug_log.h"
#include "run/outcome.h"

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
constexpr DWORD kLongestWait = 10 * 60 * 1000;

} // namespace

SingleRunLock::SingleRunLock() : mutex_(::CreateMutexW(nullptr, FALSE, kLockName))
{
    if (!mutex_) {
        return;
    }
    DWORD waited = ::WaitForSingleObject(mutex_.get(), 0);
    if (waited == WAIT_TIMEOUT) {
        DebugLogPrintf(L"[info]: Waiting for another hotfix run to finish.");
        waited = ::WaitForSingleObject(mutex_.get(), kLongestWait);
    }
    if (waited == WAIT_TIMEOUT) {
        DebugLogPrintf(L"[error]: Another hotfix run did not finish in time.");
        RaiseOutcome(kOutcomeFailed);
    }
    // An abandoned lock belongs to a run that died; it is ours now.
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

SingleRunLock::~SingleRunLock()
{
    if (owned_) {
        ::ReleaseMutex(mutex_.get());
    }
}

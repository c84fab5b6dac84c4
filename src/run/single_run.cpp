#include "run/single_run.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"

#include <sddl.h>

#include <utility>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
// All that a run needs of a lock that another account made.
constexpr DWORD kWaitAndReleaseAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

OpenedRunLock CreateLock(const wchar_t* name, const wchar_t* accessList) noexcept
{
    UniqueLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList, SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        return OpenedRunLock{UniqueKernelHandle(), ::GetLastError()};
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueKernelHandle mutex(CreateRunMutex(&attributes, name));
    const DWORD error = mutex ? ERROR_SUCCESS : ::GetLastError();
    return OpenedRunLock{std::move(mutex), error};
}

struct LockWait {
    DWORD result;
    DWORD error;
};

LockWait WaitForLock(HANDLE mutex, DWORD milliseconds) noexcept
{
    const DWORD result = ::WaitForSingleObject(mutex, milliseconds);
    return LockWait{result, result == WAIT_FAILED ? ::GetLastError() : ERROR_SUCCESS};
}

void LogRunningWithoutLock(DWORD error)
{
    DebugLogPrintf(L"[info]: Running without the single-run lock, GetLastError, 0x%08x",
                   static_cast<unsigned int>(error));
}

} // namespace

OpenedRunLock OpenRunLock(const wchar_t* name, const wchar_t* accessList) noexcept
{
    OpenedRunLock lock = CreateLock(name, accessList);
    if (lock.error == ERROR_ACCESS_DENIED) {
        UniqueKernelHandle opened(::OpenMutexW(kWaitAndReleaseAccess, FALSE, name));
        lock.error = opened ? ERROR_SUCCESS : ::GetLastError();
        lock.mutex = std::move(opened);
    }
    return lock;
}

SingleRunLock::SingleRunLock() : SingleRunLock(kLockName) {}

SingleRunLock::SingleRunLock(const wchar_t* name) : SingleRunLock(OpenRunLock(name)) {}

SingleRunLock::SingleRunLock(OpenedRunLock lock) : mutex_(std::move(lock.mutex))
{
    if (!mutex_) {
        LogRunningWithoutLock(lock.error);
        return;
    }
    LockWait waited = WaitForLock(mutex_.get(), 0);
    if (waited.result == WAIT_TIMEOUT) {
        DebugLogPrintf(L"[info]: Waiting for another hotfix run to finish.");
        // A run ended from outside while it waits still leaves its lines.
        DebugLogFlush();
        waited = WaitForLock(mutex_.get(), LongestLockWait());
    }
    switch (waited.result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // the lock of a run that died is ours now
        owned_ = true;
        break;
    case WAIT_TIMEOUT:
        DebugLogPrintf(L"[error]: Another hotfix run did not finish in time.");
        RaiseOutcome(kOutcomeFailed);
    default:
        LogRunningWithoutLock(waited.error);
        break;
    }
}

SingleRunLock::~SingleRunLock()
{
    if (owned_) {
        DebugLogFlush();
        ::ReleaseMutex(mutex_.get());
    }
}

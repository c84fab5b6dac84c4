#include "run/single_run.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"

#include <sddl.h>

#include <utility>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
// SYSTEM and the Administrators group get full access whichever account
// makes the lock, so that a deployment tool's run as SYSTEM and an
// administrator's elevated run share it.
constexpr const wchar_t* kLockAccessList = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";
// All that a run needs of a lock that another account made.
constexpr DWORD kWaitAndReleaseAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

UniqueKernelHandle CreateLock(const wchar_t* name) noexcept
{
    UniqueLocalMemory descriptor;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockAccessList, SDDL_REVISION_1, descriptor.put(), nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    return UniqueKernelHandle(::CreateMutexW(descriptor ? &attributes : nullptr, FALSE, name));
}

} // namespace

OpenedRunLock OpenRunLock(const wchar_t* name) noexcept
{
    OpenedRunLock lock{CreateLock(name)};
    if (!lock.mutex && ::GetLastError() == ERROR_ACCESS_DENIED) {
        lock.mutex.reset(::OpenMutexW(kWaitAndReleaseAccess, FALSE, name));
    }
    if (!lock.mutex) {
        lock.error = ::GetLastError();
    }
    return lock;
}

SingleRunLock::SingleRunLock() : SingleRunLock(kLockName) {}

SingleRunLock::SingleRunLock(const wchar_t* name) : SingleRunLock(OpenRunLock(name)) {}

SingleRunLock::SingleRunLock(OpenedRunLock lock) : mutex_(std::move(lock.mutex))
{
    if (!mutex_) {
        DebugLogPrintf(L"[info]: Running without the single-run lock, GetLastError, 0x%08x",
                       static_cast<unsigned int>(lock.error));
        return;
    }
    DWORD waited = ::WaitForSingleObject(mutex_.get(), 0);
    if (waited == WAIT_TIMEOUT) {
        DebugLogPrintf(L"[info]: Waiting for another hotfix run to finish.");
        waited = ::WaitForSingleObject(mutex_.get(), LongestLockWait());
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

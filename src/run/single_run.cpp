#include "run/single_run.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <utility>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
// All that a run needs of a lock that another account made: waiting,
// releasing, and reading its owner.
constexpr DWORD kWaitAndReleaseAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;

// A lock as CreateLock left it: existed tells that the name was taken already.
struct CreatedLock {
    OpenedRunLock lock;
    bool existed = false;
};

CreatedLock CreateLock(const wchar_t* name, const wchar_t* accessList) noexcept
{
    UniqueLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList, SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        return CreatedLock{OpenedRunLock{UniqueKernelHandle(), ::GetLastError()}};
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    UniqueKernelHandle mutex(CreateRunMutex(&attributes, name));
    const DWORD error = ::GetLastError();
    if (!mutex) {
        return CreatedLock{OpenedRunLock{UniqueKernelHandle(), error}};
    }
    return CreatedLock{OpenedRunLock{std::move(mutex), ERROR_SUCCESS}, error == ERROR_ALREADY_EXISTS};
}

// The access list without its owner, which the token then gives: for a
// token that may not name the Administrators as owner. SYSTEM's own token
// gives SYSTEM, which the owner rule accepts too.
const wchar_t* WithoutOwner(const wchar_t* accessList) noexcept
{
    const wchar_t* dacl = std::wcsstr(accessList, L"D:");
    return dacl ? dacl : accessList;
}

// Whether a run may wait for the lock: SYSTEM or the Administrators own it.
// An owner that cannot be read counts as another account's.
bool IsOwnedByARun(HANDLE mutex) noexcept
{
    PSID owner = nullptr;
    UniqueLocalMemory descriptor;
    if (::GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          descriptor.put())
            != ERROR_SUCCESS
        || !owner) {
        return false;
    }
    return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
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
    CreatedLock created = CreateLock(name, accessList);
    if (created.lock.error == ERROR_INVALID_OWNER) {
        created = CreateLock(name, WithoutOwner(accessList));
    }
    OpenedRunLock lock = std::move(created.lock);
    bool existed = created.existed;
    if (lock.error == ERROR_ACCESS_DENIED) {
        UniqueKernelHandle opened(::OpenMutexW(kWaitAndReleaseAccess, FALSE, name));
        lock.error = opened ? ERROR_SUCCESS : ::GetLastError();
        lock.mutex = std::move(opened);
        existed = static_cast<bool>(lock.mutex);
    }
    // A lock this run made is its own, whatever owner its token gave it.
    if (existed && !IsOwnedByARun(lock.mutex.get())) {
        lock.mutex.reset();
        lock.error = ERROR_INVALID_OWNER;
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

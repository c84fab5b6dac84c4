#include "run/single_run.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"

#include <sddl.h>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
// SYSTEM and the Administrators group get full access whichever account
// makes the lock, so that a deployment tool's run as SYSTEM and an
// administrator's elevated run share it.
constexpr const wchar_t* kLockAccessList = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";
// All that a run needs of a lock that another account made.
constexpr DWORD kWaitAndReleaseAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Owns a security descriptor made by the SDDL converter.
struct LocalMemoryTraits {
    using Handle = PSECURITY_DESCRIPTOR;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle memory) noexcept { ::LocalFree(memory); }
};
using UniqueSecurityDescriptor = UniqueHandle<LocalMemoryTraits>;

UniqueKernelHandle CreateLock(const wchar_t* name) noexcept
{
    UniqueSecurityDescriptor descriptor;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockAccessList, SDDL_REVISION_1, descriptor.put(), nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    return UniqueKernelHandle(::CreateMutexW(descriptor ? &attributes : nullptr, FALSE, name));
}

} // namespace

UniqueKernelHandle OpenRunLock(const wchar_t* name, DWORD& error) noexcept
{
    UniqueKernelHandle mutex = CreateLock(name);
    if (!mutex && ::GetLastError() == ERROR_ACCESS_DENIED) {
        mutex.reset(::OpenMutexW(kWaitAndReleaseAccess, FALSE, name));
    }
    error = mutex ? ERROR_SUCCESS : ::GetLastError();
    return mutex;
}

SingleRunLock::SingleRunLock() : SingleRunLock(kLockName) {}

SingleRunLock::SingleRunLock(const wchar_t* name)
{
    DWORD error = ERROR_SUCCESS;
    mutex_ = OpenRunLock(name, error);
    if (!mutex_) {
        DebugLogPrintf(L"[info]: Running without the single-run lock, GetLastError, 0x%08x",
                       static_cast<unsigned int>(error));
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

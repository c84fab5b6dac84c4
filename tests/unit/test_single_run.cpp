#include "run/single_run.h"

#include "process_log.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";
constexpr const char* kRunningWithoutTheLock = "[info]: Running without the single-run lock, GetLastError, ";

// Whether another thread could take the lock right now.
bool LockIsFree()
{
    bool free = false;
    std::thread probe([&free] {
        const UniqueKernelHandle mutex(::CreateMutexW(nullptr, FALSE, kLockName));
        const DWORD waited = ::WaitForSingleObject(mutex.get(), 0);
        free = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        if (free) {
            ::ReleaseMutex(mutex.get());
        }
    });
    probe.join();
    return free;
}

// A lock made by another account, or by another run, with the given
// descriptor in SDDL; taken at once when initiallyOwned.
UniqueKernelHandle MakeLock(const wchar_t* name, const wchar_t* descriptorText, BOOL initiallyOwned = FALSE)
{
    UniqueLocalMemory descriptor;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptorText, SDDL_REVISION_1, descriptor.put(), nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    return UniqueKernelHandle(::CreateMutexW(&attributes, initiallyOwned, name));
}

TEST(SingleRunLockTest, HeldForTheLifeOfTheObject)
{
    {
        const SingleRunLock lock;
        EXPECT_FALSE(LockIsFree());
    }
    EXPECT_TRUE(LockIsFree());
}

TEST(SingleRunLockTest, WaitsForARunThatHoldsTheLock)
{
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UniqueKernelHandle takenOwner(taken);
    std::thread otherRun([taken] {
        const UniqueKernelHandle mutex = MakeLock(kLockName, kRunLockAccessList, TRUE);
        ::SetEvent(taken);
        ::Sleep(400);
        ::ReleaseMutex(mutex.get());
    });
    ::WaitForSingleObject(taken, INFINITE);
    const ULONGLONG start = ::GetTickCount64();
    {
        const SingleRunLock lock;
        EXPECT_GE(::GetTickCount64() - start, 300u);
    }
    otherRun.join();
}

TEST(SingleRunLockTest, TakesOverTheLockOfARunThatDied)
{
    std::thread deadRun([] {
        // Ends owning it, as a killed run would.
        static_cast<void>(MakeLock(kLockName, kRunLockAccessList, TRUE).release());
    });
    deadRun.join();
    {
        const SingleRunLock lock;
        EXPECT_FALSE(LockIsFree());
    }
    EXPECT_TRUE(LockIsFree());
}

// A lock that another account made, as this account would meet it: made
// with the given access list, held by this test for as long as it lives.
class ForeignLock {
  public:
    ForeignLock(const wchar_t* name, const wchar_t* accessList) : mutex_(MakeLock(name, accessList)) {}

    bool Made() const { return static_cast<bool>(mutex_); }

  private:
    UniqueKernelHandle mutex_;
};

std::wstring AccessListOf(HANDLE mutex)
{
    UniqueLocalMemory descriptor;
    PACL acl = nullptr;
    PSID owner = nullptr;
    constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (::GetSecurityInfo(mutex, SE_KERNEL_OBJECT, kOwnerAndDacl, &owner, nullptr, &acl, nullptr, descriptor.put())
        != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t* text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, kOwnerAndDacl, &text,
                                                           nullptr);
    const UniqueLocalMemory textOwner(text);
    return text ? text : L"";
}

TEST(RunLockTest, MadeOwnedByTheAdministratorsWithFullAccessForSystemAndAdministratorsOnly)
{
    const OpenedRunLock lock = OpenRunLock(L"qxhotfix-test-made");
    ASSERT_TRUE(lock.mutex);
    EXPECT_EQ(lock.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AccessListOf(lock.mutex.get()), L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)");
}

// (access list of the lock that another account made, whether making it
// again is refused, whether this account can use it, the error when it
// cannot). Windows refuses the full access that creating an existing lock
// asks for unless the list grants it, so the lock that grants only waiting
// and releasing is reached by opening it for just that. Wine lets such a
// create through: the fault seam refuses it as Windows would.
struct ForeignLockCase {
    const char* name;
    const wchar_t* accessList;
    bool createRefused;
    bool usable;
    DWORD error;
};

class ForeignRunLockTest : public testing::TestWithParam<ForeignLockCase> {};

TEST_P(ForeignRunLockTest, OpenedForWaitingAndReleasingWhenFullAccessIsRefused)
{
    const ForeignLockCase& c = GetParam();
    const std::wstring name = L"qxhotfix-test-foreign-" + std::wstring(c.name, c.name + std::strlen(c.name));
    const ForeignLock other(name.c_str(), c.accessList);
    ASSERT_TRUE(other.Made());
    const ScopedEnvironment refuse(L"QX_LOCK_CREATE_DENIED", c.createRefused ? L"1" : nullptr);
    const OpenedRunLock lock = OpenRunLock(name.c_str());
    ASSERT_EQ(static_cast<bool>(lock.mutex), c.usable);
    EXPECT_EQ(lock.error, c.error);
    if (lock.mutex) {
        EXPECT_EQ(::WaitForSingleObject(lock.mutex.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0))
            << "the lock was opened without the right to wait for it";
        EXPECT_TRUE(::ReleaseMutex(lock.mutex.get())) << "the lock was opened without the right to release it";
    }
}

INSTANTIATE_TEST_SUITE_P(
    AccessLists, ForeignRunLockTest,
    testing::Values(ForeignLockCase{"FullForEveryone", L"O:SYD:(A;;GA;;;WD)", false, true, ERROR_SUCCESS},
                    // SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL for everyone, nothing more.
                    ForeignLockCase{"WaitAndReleaseOnly", L"O:BAD:(A;;0x120001;;;WD)", true, true, ERROR_SUCCESS},
                    // SYNCHRONIZE alone: a lock that could not be released.
                    ForeignLockCase{"WaitOnly", L"O:BAD:(A;;0x100000;;;WD)", true, false, ERROR_ACCESS_DENIED},
                    ForeignLockCase{"NoAccess", L"O:BAD:", true, false, ERROR_ACCESS_DENIED},
                    // A user's lock, however open, is never a run's.
                    ForeignLockCase{"OwnedByAUser", L"O:BUD:(A;;GA;;;WD)", false, false, ERROR_INVALID_OWNER},
                    ForeignLockCase{"OwnedByAUserOpened", L"O:BUD:(A;;0x120001;;;WD)", true, false,
                                    ERROR_INVALID_OWNER}),
    [](const testing::TestParamInfo<ForeignLockCase>& param) { return param.param.name; });

// (the owner of a lock held by another thread, whether a run waits for it).
struct LockOwnerCase {
    const char* name;
    const wchar_t* descriptor;
    bool waited;
};

class LockOwnerTest : public testing::TestWithParam<LockOwnerCase> {};

TEST_P(LockOwnerTest, OnlyALockOfSystemOrTheAdministratorsIsWaitedFor)
{
    const LockOwnerCase& c = GetParam();
    const std::wstring name = L"qxhotfix-test-owner-" + std::wstring(c.name, c.name + std::strlen(c.name));
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UniqueKernelHandle takenOwner(taken);
    std::thread holder([&] {
        const UniqueKernelHandle mutex = MakeLock(name.c_str(), c.descriptor, TRUE);
        ::SetEvent(taken);
        ::Sleep(600);
        ::ReleaseMutex(mutex.get());
    });
    ::WaitForSingleObject(taken, INFINITE);
    const std::size_t entriesBefore = ProcessLogEntries().size();
    const ULONGLONG start = ::GetTickCount64();
    {
        const SingleRunLock lock(name.c_str());
        EXPECT_EQ(::GetTickCount64() - start >= 500, c.waited);
    }
    holder.join();
    const std::vector<std::string> entries = ProcessLogEntries();
    ASSERT_EQ(entries.size(), entriesBefore + 1);
    EXPECT_EQ(entries.back(), c.waited ? std::string("[info]: Waiting for another hotfix run to finish.")
                                       : std::string(kRunningWithoutTheLock) + "0x0000051b");
}

INSTANTIATE_TEST_SUITE_P(Owners, LockOwnerTest,
                         testing::Values(LockOwnerCase{"System", L"O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)", true},
                                         LockOwnerCase{"Administrators", kRunLockAccessList, true},
                                         LockOwnerCase{"Users", L"O:BUD:(A;;GA;;;WD)", false}),
                         [](const testing::TestParamInfo<LockOwnerCase>& param) { return param.param.name; });

TEST(SingleRunLockTest, GoesOnWithoutALockThatRefusesEveryAccessAndSaysSo)
{
    const ForeignLock other(L"qxhotfix-test-refused", L"O:BAD:");
    ASSERT_TRUE(other.Made());
    const ScopedEnvironment refuse(L"QX_LOCK_CREATE_DENIED", L"1");
    const ULONGLONG start = ::GetTickCount64();
    {
        const SingleRunLock lock(L"qxhotfix-test-refused");
    }
    EXPECT_LT(::GetTickCount64() - start, 5000u) << "waited for a lock it could not open";
    EXPECT_EQ(LastProcessLogEntry(), std::string(kRunningWithoutTheLock) + "0x00000005");
}

TEST(SingleRunLockTest, AccessListThatCannotBeBuiltMeansNoLockAndSaysWhy)
{
    const OpenedRunLock opened = OpenRunLock(L"qxhotfix-test-bad-list", L"D:(not an access list");
    EXPECT_FALSE(opened.mutex) << "a lock was made without the access list";
    ASSERT_NE(opened.error, static_cast<DWORD>(ERROR_SUCCESS)) << "the failing call's error was lost";
    const DWORD error = opened.error;
    {
        const SingleRunLock lock{OpenedRunLock{UniqueKernelHandle(), error}};
    }
    char code[16] = {};
    std::snprintf(code, sizeof(code), "0x%08lx", static_cast<unsigned long>(error));
    EXPECT_EQ(LastProcessLogEntry(), kRunningWithoutTheLock + std::string(code));
}

TEST(SingleRunLockTest, WaitThatFailsMeansNoLockAndSaysWhy)
{
    const UniqueKernelHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    HANDLE cannotWait = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), mutex.get(), ::GetCurrentProcess(), &cannotWait,
                                  MUTEX_MODIFY_STATE, FALSE, 0));
    {
        const SingleRunLock lock{OpenedRunLock{UniqueKernelHandle(cannotWait), ERROR_SUCCESS}};
    }
    EXPECT_EQ(LastProcessLogEntry(), std::string(kRunningWithoutTheLock) + "0x00000005")
        << "a wait that failed went on without a word";
}

} // namespace

#include "run/single_run.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr const wchar_t* kLockName = L"Global\\qxhotfix-9.1.3-apply";

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
        const UniqueKernelHandle mutex(::CreateMutexW(nullptr, TRUE, kLockName));
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
        const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, kLockName);
        static_cast<void>(mutex); // ends owning it, as a killed run would
    });
    deadRun.join();
    {
        const SingleRunLock lock;
        EXPECT_FALSE(LockIsFree());
    }
    EXPECT_TRUE(LockIsFree());
}

} // namespace

#include "log/flush_timer.h"

namespace {

// SetWaitableTimer counts a relative due time in negative 100 ns units.
constexpr LONGLONG kUnitsPerMillisecond = 10000;

} // namespace

bool FlushTimer::Start(Callback callback, void* context) noexcept
{
    callback_ = callback;
    context_ = context;
    timer_.reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (timer_ && stop_) {
        thread_.reset(::CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    if (!thread_) {
        timer_.reset();
        stop_.reset();
    }
    return static_cast<bool>(thread_);
}

void FlushTimer::Arm(DWORD milliseconds) noexcept
{
    if (!thread_) {
        return;
    }
    LARGE_INTEGER due = {};
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * kUnitsPerMillisecond;
    ::SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE);
}

void FlushTimer::Stop() noexcept
{
    if (!thread_) {
        return;
    }
    // The handles stay until destruction: an entry may still set the timer,
    // which then wakes nobody.
    ::SetEvent(stop_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI FlushTimer::Run(void* self) noexcept
{
    auto& timer = *static_cast<FlushTimer*>(self);
    const HANDLE events[] = {timer.stop_.get(), timer.timer_.get()};
    while (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        timer.callback_(timer.context_);
    }
    return 0;
}

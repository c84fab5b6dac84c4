#pragma once

#include "support/unique_handle.h"

#include <windows.h>

// A thread of its own that calls back when a waitable timer comes due, so
// that buffered lines reach the file while the run is busy elsewhere (a
// long copy) and logs nothing.
class FlushTimer {
  public:
    using Callback = void (*)(void* context) noexcept;

    FlushTimer() = default;
    // Stops the thread first: no callback runs into a destroyed owner.
    ~FlushTimer() { Stop(); }
    FlushTimer(const FlushTimer&) = delete;
    FlushTimer& operator=(const FlushTimer&) = delete;

    // Starts the thread; false when it could not be made, and then Arm does
    // nothing. Called once.
    bool Start(Callback callback, void* context) noexcept;
    // The callback runs once, about `milliseconds` from now; an earlier due
    // time not yet reached is replaced.
    void Arm(DWORD milliseconds) noexcept;
    // Ends the thread and waits for it: no callback runs after this returns.
    // The caller must not hold anything that the callback takes. May be
    // called again.
    void Stop() noexcept;

  private:
    static DWORD WINAPI Run(void* self) noexcept;

    Callback callback_ = nullptr;
    void* context_ = nullptr;
    UniqueKernelHandle timer_;
    UniqueKernelHandle stop_;
    UniqueKernelHandle thread_;
};

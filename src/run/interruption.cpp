#include "run/interruption.h"

#include "log/debug_log.h"

#include <windows.h>

namespace {

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI LogInterruption(DWORD event) noexcept
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        DebugLogWriteLast(L"[error]: The run was interrupted.");
    }
    // Not handled: the next handler, in the end the system's, ends the process.
    return FALSE;
}

} // namespace

void LogInterruptions() noexcept
{
    ::SetConsoleCtrlHandler(LogInterruption, TRUE);
}

// qxhotfix: applies the Quorvex 9.1.3 hotfix and reports the outcome as the
// exit code: 0 applied, 1 stopped on a failure.
#include "log/debug_log.h"
#include "run/gates.h"
#include "run/interruption.h"
#include "run/outcome.h"
#include "run/run_hotfix.h"
#include "support/dll_search.h"

namespace {

OutcomeCode RunAndShowLog(int argc, const wchar_t* const* argv)
{
    try {
        // First of all: the log's start already loads system code.
        RestrictDllSearchPath();
        LogInterruptions();
        const bool silent = IsSilentMode(argc, argv);
        const OutcomeCode outcome = RunHotfix();
        if (!silent) {
            ShowDebugLog();
        }
        return outcome;
    } catch (...) {
        // The log could not even start: nothing was done.
        return kOutcomeFailed;
    }
}

} // namespace

int wmain(int argc, wchar_t* argv[], wchar_t* /*envp*/[])
{
    const OutcomeCode outcome = RunAndShowLog(argc, argv);
    // The log's last write happens here, not during static destruction.
    DebugLogClose();
    return outcome;
}

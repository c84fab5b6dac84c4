// qxhotfix: applies the Quorvex 9.1.3 hotfix and reports the outcome as the
// exit code: 0 applied, 1 stopped on a failure.
#include "log/debug_log.h"
#include "run/copy_plan.h"
#include "run/gates.h"
#include "run/interruption.h"
#include "run/outcome.h"
#include "run/single_run.h"

#include <exception>

namespace {

// Best effort: an entry that could not be written must not hide the outcome.
void LogUnexpectedError() noexcept
{
    try {
        DebugLogPrintf(L"[error]: The run stopped on an unexpected error.");
    } catch (...) {
        // Nothing more can be reported.
    }
}

// Runs the hotfix from the version gate on; every way out is an outcome.
OutcomeCode RunHotfix()
{
    try {
        const SingleRunLock oneRunAtATime;
        CheckApplicableVersion();
        const bool productType1 = IsProductType1();
        const bool nativeX64 = IsNativeX64();
        ApplyCopyPlan(productType1, nativeX64);
        DebugLogPrintf(L"[info]: Hotfix is successful.");
        RaiseOutcome(kOutcomeApplied);
    } catch (OutcomeCode outcome) {
        return outcome;
    } catch (...) {
        LogUnexpectedError();
        return kOutcomeFailed;
    }
}

} // namespace

int wmain(int argc, wchar_t* argv[], wchar_t* /*envp*/[])
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

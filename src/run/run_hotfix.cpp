#include "run/run_hotfix.h"

#include "log/debug_log.h"
#include "run/copy_plan.h"
#include "run/gates.h"
#include "run/single_run.h"

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

[[noreturn]] void ApplyHotfixSteps()
{
    CheckApplicableVersion();
    const bool productType1 = IsProductType1();
    const bool nativeX64 = IsNativeX64();
    ApplyCopyPlan(productType1, nativeX64);
    DebugLogPrintf(L"[info]: Hotfix is successful.");
    RaiseOutcome(kOutcomeApplied);
}

[[noreturn]] void ApplyHotfix()
{
    const SingleRunLock oneRunAtATime;
    // Decided, and an unexpected error logged, while the lock is held: the
    // next run, which may share the log file, goes on after the last entry.
    RaiseOutcome(OutcomeOf(ApplyHotfixSteps));
}

} // namespace

OutcomeCode RunHotfix()
{
    return OutcomeOf(ApplyHotfix);
}

OutcomeCode OutcomeOf(void (*body)())
{
    try {
        body();
    } catch (OutcomeCode outcome) {
        return outcome;
    } catch (...) {
        // An exit code of 0 would report a run that stopped half-way as applied.
    }
    LogUnexpectedError();
    return kOutcomeFailed;
}

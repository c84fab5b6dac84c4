#include "deployment_code.h"

#include "log_files.h"

namespace {

constexpr DWORD kFailed = 1;
constexpr const char* kLockHeldPastTheWait = "Another hotfix run did not finish in time.";

// Whether the failure goes away by itself once the product is closed or
// the other run ends: what the retry code stands for.
bool IsPassingFailure(const RunSummary& run)
{
    if (run.error == kLockHeldPastTheWait) {
        return true;
    }
    switch (run.errorCode.value_or(ERROR_SUCCESS)) {
    case ERROR_SHARING_VIOLATION: // a file in use
    case ERROR_LOCK_VIOLATION:    // a locked part of a file
        return true;
    default:
        return false;
    }
}

} // namespace

int DeploymentExitCode(DWORD exeCode, const std::vector<RunSummary>& runs)
{
    const bool readable = !runs.empty() && runs.back().outcome != Outcome::kUnreadable;
    if (exeCode != kFailed || !readable || runs.back().error.empty()) {
        return static_cast<int>(exeCode);
    }
    return IsPassingFailure(runs.back()) ? kRetryLater : static_cast<int>(kFailed);
}

int DeploymentExitCodeOfLog(DWORD exeCode, const std::wstring& logPath)
{
    std::vector<RunSummary> runs;
    if (exeCode == kFailed && !logPath.empty()) {
        SummarizeLogFile(logPath, [&runs](const RunSummary& run) { runs.push_back(run); });
    }
    return DeploymentExitCode(exeCode, runs);
}

#include "tally.h"

void Tally::CountRun(Outcome outcome) noexcept
{
    ++runs_;
    everyRunApplied_ = everyRunApplied_ && outcome == Outcome::kApplied;
}

int Tally::ExitCode() const noexcept
{
    if (folderUnread_ || outputCut_ || runs_ == 0) {
        return kSummaryNotWhole;
    }
    return everyRunApplied_ ? kEveryRunApplied : kSomeRunNotApplied;
}

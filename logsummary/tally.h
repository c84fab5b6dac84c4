#pragma once

#include "log_parser.h"

#include <cstdint>

// The exit codes of qxlogsummary.
constexpr int kEveryRunApplied = 0;
constexpr int kSomeRunNotApplied = 1;
constexpr int kSummaryNotWhole = 2; // a folder unread, no log found, or the output cut

// What the summary saw, for its exit code: 0 only when every run was
// applied, 2 whenever the CSV cannot stand for every log asked for.
class Tally {
  public:
    void CountRun(Outcome outcome) noexcept;
    void CountUnreadFolder() noexcept { folderUnread_ = true; }
    void CountCutOutput() noexcept { outputCut_ = true; }

    bool NoRunFound() const noexcept { return runs_ == 0; }
    int ExitCode() const noexcept;

  private:
    std::uint64_t runs_ = 0;
    bool everyRunApplied_ = true;
    bool folderUnread_ = false;
    bool outputCut_ = false;
};

#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

enum class Outcome { kApplied, kNotApplicable, kFailed, kIncomplete, kUnreadable };

// The outcome as the summary names it: "applied", "not applicable", ...
const char* OutcomeName(Outcome outcome);

// What one run of qxhotfix.exe left in its log. Text fields hold the log's
// bytes as they are, which need not be valid UTF-8; empty when not logged.
struct RunSummary {
    std::string started; // the run's first line's time, "YYYY-MM-DD hh:mm:ss.mmm"
    std::string user;
    std::string exePath;
    std::string mode; // "normal" or "silent"
    std::string release;
    std::string productType;
    std::uint64_t filesCopied = 0;
    Outcome outcome = Outcome::kIncomplete;
    std::string error; // the first error entry, without its "[error]: " tag
    std::optional<std::uint32_t> errorCode;
};

// A run that is still being read.
struct RunInProgress {
    RunSummary summary;
    // Its last entry so far says that it waits for another run.
    bool waiting = false;
};

// Reads one log file's bytes, in pieces of any size, and hands out the
// summary of each run once it has ended and the next one starts, or the
// file ends. Two runs started in the same second share a file, and the one
// that waits for the other writes its first lines before it waits: the
// lines that follow them belong to the other run, until its outcome.
// Lines may end with CR LF, CR or LF; a line longer than any the hotfix
// writes keeps only its start, so memory stays bounded whatever the file.
class LogParser {
  public:
    using RunHandler = std::function<void(const RunSummary&)>;

    explicit LogParser(RunHandler onRun);

    void Feed(std::string_view bytes);
    // Hands out the last run, or one unreadable run when the file holds no
    // log line.
    void Finish();
    // The file could not be read whole: hands out the run being read, with
    // what it logged so far, or an empty one, as unreadable with this error.
    void FinishUnread(std::string error, std::uint32_t errorCode);
    // The file's first line is not a log line: the rest need not be read.
    bool NotALog() const noexcept { return notALog_; }

  private:
    void KeepInLine(std::string_view bytes);
    void EndLine();
    void TakeLine(std::string_view line);
    void SetAsideUnlessEnded();
    void FollowTheRunThatLogs();
    void StartRun(std::string_view time);
    void TakeEntry(std::string_view entry);
    void HandOutSetAside();
    void HandOutRun();

    RunHandler onRun_;
    std::string line_;
    bool firstLine_ = true;
    bool notALog_ = false;
    std::optional<RunInProgress> run_;
    // Runs without an outcome that another run's lines followed, in order.
    std::deque<RunInProgress> setAside_;
};

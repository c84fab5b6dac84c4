#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

// kRemoved: a removal by run-hotfix.exe /uninstall that took the hotfix back.
enum class Outcome { kApplied, kNotApplicable, kFailed, kIncomplete, kUnreadable, kRemoved };

// The outcome as the summary names it: "applied", "not applicable", ...
const char* OutcomeName(Outcome outcome);

// What one run of qxhotfix.exe left in its log. Text fields hold the log's
// bytes as they are, which need not be valid UTF-8; empty when not logged.
struct RunSummary {
    std::string started; // the run's first line's time, "YYYY-MM-DD hh:mm:ss.mmm"
    std::string user;
    std::string exePath;
    std::string mode; // "normal", "silent", or "uninstall" for a removal
    std::string release;
    std::string productType;
    std::uint64_t filesCopied = 0;
    Outcome outcome = Outcome::kIncomplete;
    std::string error; // the first error entry, without its "[error]: " tag
    std::optional<std::uint32_t> errorCode;
};

// Where a run that is still being read stands with the machine's run lock.
enum class LockState {
    kStarting, // its first lines, before it waits or goes on
    kWaiting,  // it waits for the run that holds the lock
    kHolding,  // it goes on: with the lock, or without one to be had
};

// A run that is still being read.
struct RunInProgress {
    RunSummary summary;
    LockState lock = LockState::kStarting;
    std::uint64_t number = 0; // in the order of the file
};

// Reads one log file's bytes, in pieces of any size, and hands out the
// summary of each run once it has ended, or the file ends. Runs of one
// machine started in the same second share a file and take turns with the
// run lock: a run that has to wait writes its first lines and its waiting
// entry amid the lines of the run that holds the lock, and the rest once
// that run has let go; so each line goes to the run that wrote it:
//  - the first lines of a run and its waiting entry to the newest run;
//  - a waiting run's own end (it timed out, or gave up on the lock) to the
//    run that has waited longest, as is an interruption that directly
//    follows a waiting entry, or after which the run holding the lock logs
//    on (an interruption is its run's last entry);
//  - "MajorVersion", the first entry with the lock, to a run that just
//    started or else to the run that has waited longest, which resumes: a
//    run that still held the lock then was killed, and is handed out;
//  - every other entry to the run that holds the lock.
// Runs that cannot take turns, such as runs of different machines writing
// one shared file in the same second, cannot be told apart.
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
    using Runs = std::deque<RunInProgress>;

    void KeepInLine(std::string_view bytes);
    void EndLine();
    void TakeLine(std::string_view line);
    void StartRun(std::string_view time);
    // The run that wrote the entry; end() when none is open to take it.
    Runs::iterator RunOfEntry(std::string_view entry);
    Runs::iterator Find(std::optional<std::uint64_t> number);
    // The first of the runs found.
    Runs::iterator FirstOf(std::initializer_list<Runs::iterator> runs);
    Runs::iterator NewestStarting();
    Runs::iterator LongestWaiting();
    Runs::iterator Holding();
    // The run of this number goes on with the lock: a run that held it
    // before was killed, and is handed out.
    void TakeLock(std::uint64_t number);
    void TakeEntry(Runs::iterator run, std::string_view entry);
    void HandOut(const Runs::iterator& run);
    void HandOutAll();
    // Whether an interruption must wait for the next entry to tell whose it
    // is: the run holding the lock's, or a waiting run's.
    bool InterruptionIsAmbiguous(std::string_view entry);
    // Gives the pending interruption to the longest waiting run when the
    // run holding the lock logged on after it, else to that run.
    void SettleInterruption(bool holderLoggedOn);

    RunHandler onRun_;
    std::string line_;
    bool firstLine_ = true;
    bool notALog_ = false;
    bool anyRun_ = false;
    // The last entry was a waiting entry, of the run with this number.
    std::optional<std::uint64_t> justWaiting_;
    // An interruption was read that the next entry decides.
    bool interruptionPending_ = false;
    // The run that took the last entry, for a file that cannot be read on.
    std::optional<std::uint64_t> lastWriter_;
    std::uint64_t runsStarted_ = 0;
    // Runs without an outcome, in the order of their first lines.
    Runs open_;
};

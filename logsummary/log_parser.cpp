#include "log_parser.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

// The longest line kept: a log line holds at most 10,266 UTF-16 code units,
// except the first of a run, whose executable path may be 32,767 long.
constexpr std::size_t kLongestLine = 128 * 1024;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// "2026/12/08 04:51:22,459," with 'd' for each digit.
constexpr std::string_view kTimePrefixShape = "dddd/dd/dd dd:dd:dd,ddd,";

constexpr std::string_view kInitialInfo = "#InitialInfo,";
constexpr std::string_view kInfoTag = "[info]: ";
constexpr std::string_view kErrorTag = "[error]: ";
constexpr std::string_view kNormalMode = "[info]: Normal Mode";
constexpr std::string_view kSilentMode = "[info]: Silent Mode";
// A removal by the launcher's /uninstall, which logs in the same format.
constexpr std::string_view kUninstallMode = "[info]: Uninstall Mode";
constexpr std::string_view kRemoved = "[info]: Hotfix is removed.";
constexpr std::string_view kProductType = "[info]: ProductType, ";
constexpr std::string_view kCopyFile = "[info]: CopyFile, \"";
constexpr std::string_view kCopied = "\", result , 1, ";
constexpr std::string_view kSuccess = "[info]: Hotfix is successful.";
constexpr std::string_view kWaiting = "[info]: Waiting for another hotfix run to finish.";
constexpr std::string_view kMajorVersion = "[info]: MajorVersion, ";
constexpr std::string_view kTimedOut = "[error]: Another hotfix run did not finish in time.";
constexpr std::string_view kInterrupted = "[error]: The run was interrupted.";
constexpr std::string_view kLockless = "[info]: Running without the single-run lock, ";
// Runs of one file kept open at once, so that memory stays bounded.
constexpr std::size_t kMostRunsOpen = 8;
constexpr std::string_view kNotApplicable = "This Version of Quorvex is not applicable.";
constexpr std::string_view kErrorCodeMarker = ", GetLastError, 0x";
constexpr std::size_t kErrorCodeDigits = 8;

bool StartsWith(std::string_view text, std::string_view start)
{
    return text.substr(0, start.size()) == start;
}

bool EndsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool IsSuccessfulCopy(std::string_view entry)
{
    return entry.size() >= kCopyFile.size() + kCopied.size() && StartsWith(entry, kCopyFile)
           && EndsWith(entry, kCopied);
}

bool IsDigit(char character)
{
    return character >= '0' && character <= '9';
}

bool HasTimePrefix(std::string_view line)
{
    if (line.size() < kTimePrefixShape.size()) {
        return false;
    }
    for (std::size_t index = 0; index < kTimePrefixShape.size(); ++index) {
        const char shape = kTimePrefixShape[index];
        if (shape == 'd' ? !IsDigit(line[index]) : line[index] != shape) {
            return false;
        }
    }
    return true;
}

// "2026/12/08 04:51:22,459," as "2026-12-08 04:51:22.459", which
// spreadsheet programs read as a time.
std::string StartedTime(std::string_view prefix)
{
    std::string time(prefix.substr(0, kTimePrefixShape.size() - 1));
    time[4] = '-';
    time[7] = '-';
    time[19] = '.';
    return time;
}

bool IsEntry(std::string_view entry)
{
    return StartsWith(entry, kInitialInfo) || StartsWith(entry, kInfoTag) || StartsWith(entry, kErrorTag);
}

// Takes a "%d" number off the front of text.
std::optional<std::string_view> TakeInteger(std::string_view& text)
{
    std::size_t length = !text.empty() && text[0] == '-' ? 1 : 0;
    const std::size_t firstDigit = length;
    while (length < text.size() && IsDigit(text[length])) {
        ++length;
    }
    if (length == firstDigit) {
        return std::nullopt;
    }
    const std::string_view number = text.substr(0, length);
    text.remove_prefix(length);
    return number;
}

// "[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, 3" as "9.1.3";
// empty when the entry has another shape.
std::string ReleaseOf(std::string_view entry)
{
    std::string release;
    for (const std::string_view label : {"[info]: MajorVersion, ", ", MinorVersion, ", ", PatchVersion, "}) {
        if (!StartsWith(entry, label)) {
            return std::string();
        }
        entry.remove_prefix(label.size());
        const std::optional<std::string_view> number = TakeInteger(entry);
        if (!number) {
            return std::string();
        }
        release += release.empty() ? "" : ".";
        release += *number;
    }
    return entry.empty() ? release : std::string();
}

std::string ProductTypeOf(std::string_view entry)
{
    std::string_view rest = entry.substr(kProductType.size());
    const std::optional<std::string_view> number = TakeInteger(rest);
    return number && rest.empty() ? std::string(*number) : std::string();
}

int HexValue(char digit)
{
    if (IsDigit(digit)) {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// The Windows error code of "<call>, GetLastError, 0x%08x".
std::optional<std::uint32_t> ErrorCodeOf(std::string_view error)
{
    const std::size_t tail = kErrorCodeMarker.size() + kErrorCodeDigits;
    if (error.size() < tail || !StartsWith(error.substr(error.size() - tail), kErrorCodeMarker)) {
        return std::nullopt;
    }
    std::uint32_t code = 0;
    for (const char digit : error.substr(error.size() - kErrorCodeDigits)) {
        const int value = HexValue(digit);
        if (value < 0) {
            return std::nullopt;
        }
        code = code << 4 | static_cast<std::uint32_t>(value);
    }
    return code;
}

} // namespace

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::kApplied:
        return "applied";
    case Outcome::kNotApplicable:
        return "not applicable";
    case Outcome::kFailed:
        return "failed";
    case Outcome::kIncomplete:
        return "incomplete";
    case Outcome::kRemoved:
        return "removed";
    case Outcome::kUnreadable:
        break;
    }
    return "unreadable";
}

LogParser::LogParser(RunHandler onRun) : onRun_(std::move(onRun)) {}

void LogParser::Feed(std::string_view bytes)
{
    // CR LF, CR and LF all end a line: the empty line between CR and LF is
    // skipped like any other.
    std::size_t at = 0;
    while (at < bytes.size() && !notALog_) {
        const std::size_t end = bytes.find_first_of("\r\n", at);
        if (end == std::string_view::npos) {
            KeepInLine(bytes.substr(at));
            return;
        }
        KeepInLine(bytes.substr(at, end - at));
        EndLine();
        at = end + 1;
    }
}

void LogParser::Finish()
{
    EndLine();
    SettleInterruption(false);
    if (notALog_ || !anyRun_) {
        RunSummary unreadable;
        unreadable.outcome = Outcome::kUnreadable;
        onRun_(unreadable);
        return;
    }
    HandOutAll();
}

void LogParser::FinishUnread(std::string error, std::uint32_t errorCode)
{
    // The other runs stay as far as they were read; the lines kept of the
    // run that logged last may stop anywhere.
    SettleInterruption(false);
    RunSummary unreadable;
    const auto last = Find(lastWriter_);
    if (last != open_.end()) {
        unreadable = last->summary;
        open_.erase(last);
    }
    HandOutAll();
    unreadable.outcome = Outcome::kUnreadable;
    unreadable.error = std::move(error);
    unreadable.errorCode = errorCode;
    onRun_(unreadable);
}

void LogParser::KeepInLine(std::string_view bytes)
{
    const std::size_t room = kLongestLine - line_.size();
    line_.append(bytes.substr(0, room));
}

void LogParser::EndLine()
{
    TakeLine(line_);
    line_.clear();
}

void LogParser::TakeLine(std::string_view line)
{
    if (firstLine_) {
        firstLine_ = false;
        if (StartsWith(line, kByteOrderMark)) {
            line.remove_prefix(kByteOrderMark.size());
        }
    }
    if (line.empty() || notALog_) {
        return;
    }
    const std::string_view entry = line.substr(HasTimePrefix(line) ? kTimePrefixShape.size() : 0);
    if (entry.size() == line.size() || !IsEntry(entry)) {
        // Junk before the first log line means another kind of file; junk
        // later, such as a cut line, is skipped.
        notALog_ = !anyRun_;
        return;
    }
    if (StartsWith(entry, kInitialInfo)) {
        SettleInterruption(false);
        StartRun(line);
        RunInProgress& run = open_.back();
        // The user name cannot hold a comma; the path can.
        const std::string_view info = entry.substr(kInitialInfo.size());
        const std::size_t comma = info.rfind(',');
        run.summary.exePath = info.substr(0, comma);
        run.summary.user = comma == std::string_view::npos ? std::string() : std::string(info.substr(comma + 1));
        lastWriter_ = run.number;
        justWaiting_.reset();
        return;
    }
    if (!anyRun_) {
        StartRun(line);
    }
    if (interruptionPending_) {
        const auto holder = Holding();
        SettleInterruption(holder != open_.end() && RunOfEntry(entry) == holder);
    }
    if (InterruptionIsAmbiguous(entry)) {
        interruptionPending_ = true;
        justWaiting_.reset();
        return;
    }
    const auto run = RunOfEntry(entry);
    justWaiting_.reset();
    // Nothing counts after every run's final entry.
    if (run != open_.end()) {
        lastWriter_ = run->number;
        TakeEntry(run, entry);
    }
}

void LogParser::StartRun(std::string_view time)
{
    if (open_.size() == kMostRunsOpen) {
        HandOut(open_.begin());
    }
    RunInProgress& run = open_.emplace_back();
    run.number = ++runsStarted_;
    run.summary.started = StartedTime(time);
    anyRun_ = true;
}

LogParser::Runs::iterator LogParser::Find(std::optional<std::uint64_t> number)
{
    return std::find_if(open_.begin(), open_.end(),
                        [number](const RunInProgress& run) { return run.number == number; });
}

LogParser::Runs::iterator LogParser::NewestStarting()
{
    const auto newest = std::find_if(open_.rbegin(), open_.rend(),
                                     [](const RunInProgress& run) { return run.lock == LockState::kStarting; });
    return newest == open_.rend() ? open_.end() : std::prev(newest.base());
}

LogParser::Runs::iterator LogParser::LongestWaiting()
{
    return std::find_if(open_.begin(), open_.end(),
                        [](const RunInProgress& run) { return run.lock == LockState::kWaiting; });
}

LogParser::Runs::iterator LogParser::Holding()
{
    return std::find_if(open_.begin(), open_.end(),
                        [](const RunInProgress& run) { return run.lock == LockState::kHolding; });
}

LogParser::Runs::iterator LogParser::FirstOf(std::initializer_list<Runs::iterator> runs)
{
    const auto found =
        std::find_if(runs.begin(), runs.end(), [this](const Runs::iterator& run) { return run != open_.end(); });
    return found == runs.end() ? open_.end() : *found;
}

LogParser::Runs::iterator LogParser::RunOfEntry(std::string_view entry)
{
    if (entry == kNormalMode || entry == kSilentMode || entry == kUninstallMode || entry == kWaiting) {
        return FirstOf({NewestStarting(), Holding(), LongestWaiting()});
    }
    if (entry == kInterrupted && justWaiting_) {
        return Find(justWaiting_);
    }
    if (entry == kTimedOut || StartsWith(entry, kLockless)) {
        return FirstOf({LongestWaiting(), NewestStarting(), Holding()});
    }
    if (StartsWith(entry, kMajorVersion)) {
        return FirstOf({NewestStarting(), LongestWaiting(), Holding()});
    }
    return FirstOf({Holding(), NewestStarting(), LongestWaiting()});
}

void LogParser::TakeLock(std::uint64_t number)
{
    const auto killed = std::find_if(open_.begin(), open_.end(), [number](const RunInProgress& other) {
        return other.lock == LockState::kHolding && other.number != number;
    });
    if (killed != open_.end()) {
        HandOut(killed);
    }
}

void LogParser::TakeEntry(Runs::iterator run, std::string_view entry)
{
    if (entry == kWaiting) {
        run->lock = LockState::kWaiting;
        justWaiting_ = run->number;
    } else if (StartsWith(entry, kLockless)) {
        // It goes on without the lock: its next entry is its MajorVersion.
        run->lock = LockState::kStarting;
    } else if (StartsWith(entry, kMajorVersion) && run->lock != LockState::kHolding) {
        run->lock = LockState::kHolding;
        const std::uint64_t number = run->number;
        TakeLock(number);
        run = Find(number);
    }
    RunSummary& summary = run->summary;
    if (entry == kNormalMode) {
        summary.mode = "normal";
    } else if (entry == kSilentMode) {
        summary.mode = "silent";
    } else if (entry == kUninstallMode) {
        summary.mode = "uninstall";
    } else if (StartsWith(entry, kMajorVersion)) {
        summary.release = ReleaseOf(entry);
    } else if (StartsWith(entry, kProductType)) {
        summary.productType = ProductTypeOf(entry);
    } else if (IsSuccessfulCopy(entry)) {
        ++summary.filesCopied;
    } else if (entry == kSuccess) {
        summary.outcome = Outcome::kApplied;
    } else if (entry == kRemoved) {
        summary.outcome = Outcome::kRemoved;
    } else if (StartsWith(entry, kErrorTag)) {
        summary.error = entry.substr(kErrorTag.size());
        summary.errorCode = ErrorCodeOf(summary.error);
        summary.outcome = summary.error == kNotApplicable ? Outcome::kNotApplicable : Outcome::kFailed;
    }
    // A run ends with its first final entry.
    if (summary.outcome != Outcome::kIncomplete) {
        HandOut(run);
    }
}

bool LogParser::InterruptionIsAmbiguous(std::string_view entry)
{
    return entry == kInterrupted && !justWaiting_ && Holding() != open_.end() && LongestWaiting() != open_.end();
}

void LogParser::SettleInterruption(bool holderLoggedOn)
{
    if (!interruptionPending_) {
        return;
    }
    interruptionPending_ = false;
    const auto run = holderLoggedOn ? LongestWaiting() : Holding();
    if (run != open_.end()) {
        lastWriter_ = run->number;
        TakeEntry(run, kInterrupted);
    }
}

void LogParser::HandOut(const Runs::iterator& run)
{
    onRun_(run->summary);
    open_.erase(run);
}

void LogParser::HandOutAll()
{
    for (const RunInProgress& run : open_) {
        onRun_(run.summary);
    }
    open_.clear();
}

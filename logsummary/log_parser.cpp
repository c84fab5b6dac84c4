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
constexpr std::string_view kProductType = "[info]: ProductType, ";
constexpr std::string_view kCopyFile = "[info]: CopyFile, \"";
constexpr std::string_view kCopied = "\", result , 1, ";
constexpr std::string_view kSuccess = "[info]: Hotfix is successful.";
constexpr std::string_view kWaiting = "[info]: Waiting for another hotfix run to finish.";
// Runs of one file kept open at once, so that memory stays bounded.
constexpr std::size_t kMostRunsSetAside = 8;
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
    if (notALog_ || !run_) {
        RunSummary unreadable;
        unreadable.outcome = Outcome::kUnreadable;
        onRun_(unreadable);
        return;
    }
    HandOutSetAside();
    HandOutRun();
}

void LogParser::FinishUnread(std::string error, std::uint32_t errorCode)
{
    // Runs set aside stay as far as they were read; the lines kept of the
    // run being read may stop anywhere.
    HandOutSetAside();
    RunSummary unreadable = run_ ? run_->summary : RunSummary();
    unreadable.outcome = Outcome::kUnreadable;
    unreadable.error = std::move(error);
    unreadable.errorCode = errorCode;
    onRun_(unreadable);
    run_.reset();
}

void LogParser::HandOutSetAside()
{
    for (const RunInProgress& run : setAside_) {
        onRun_(run.summary);
    }
    setAside_.clear();
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
        notALog_ = !run_;
        return;
    }
    if (StartsWith(entry, kInitialInfo)) {
        SetAsideUnlessEnded();
        StartRun(line);
        // The user name cannot hold a comma; the path can.
        const std::string_view info = entry.substr(kInitialInfo.size());
        const std::size_t comma = info.rfind(',');
        run_->summary.exePath = info.substr(0, comma);
        run_->summary.user = comma == std::string_view::npos ? std::string() : std::string(info.substr(comma + 1));
        return;
    }
    if (!run_) {
        StartRun(line);
    }
    FollowTheRunThatLogs();
    // A run ends with its first final entry.
    if (run_->summary.outcome == Outcome::kIncomplete) {
        TakeEntry(entry);
    }
}

// At another run's first line: a run without an outcome may be one that
// the new run will wait for, or one that was killed.
void LogParser::SetAsideUnlessEnded()
{
    if (!run_ || run_->summary.outcome != Outcome::kIncomplete) {
        HandOutRun();
        return;
    }
    if (setAside_.size() == kMostRunsSetAside) {
        onRun_(setAside_.front().summary);
        setAside_.pop_front();
    }
    setAside_.push_back(std::move(*run_));
    run_.reset();
}

// A run that waits logs nothing until the run it waits for has ended: the
// lines after its waiting entry are the latest unfinished run's, and the
// lines after that run's outcome are the waiting run's again.
void LogParser::FollowTheRunThatLogs()
{
    if (run_->waiting) {
        const auto other = std::find_if(setAside_.rbegin(), setAside_.rend(), [](const RunInProgress& run) {
            return !run.waiting && run.summary.outcome == Outcome::kIncomplete;
        });
        if (other != setAside_.rend()) {
            std::swap(*run_, *other);
        }
        return;
    }
    if (run_->summary.outcome != Outcome::kIncomplete) {
        const auto waiting =
            std::find_if(setAside_.begin(), setAside_.end(), [](const RunInProgress& run) { return run.waiting; });
        if (waiting != setAside_.end()) {
            RunInProgress resumed = std::move(*waiting);
            setAside_.erase(waiting);
            HandOutRun();
            run_ = std::move(resumed);
        }
    }
}

void LogParser::StartRun(std::string_view time)
{
    run_.emplace();
    run_->summary.started = StartedTime(time);
}

void LogParser::TakeEntry(std::string_view entry)
{
    run_->waiting = entry == kWaiting;
    RunSummary& run = run_->summary;
    if (entry == kNormalMode) {
        run.mode = "normal";
    } else if (entry == kSilentMode) {
        run.mode = "silent";
    } else if (StartsWith(entry, "[info]: MajorVersion, ")) {
        run.release = ReleaseOf(entry);
    } else if (StartsWith(entry, kProductType)) {
        run.productType = ProductTypeOf(entry);
    } else if (IsSuccessfulCopy(entry)) {
        ++run.filesCopied;
    } else if (entry == kSuccess) {
        run.outcome = Outcome::kApplied;
    } else if (StartsWith(entry, kErrorTag)) {
        run.error = entry.substr(kErrorTag.size());
        run.errorCode = ErrorCodeOf(run.error);
        run.outcome = run.error == kNotApplicable ? Outcome::kNotApplicable : Outcome::kFailed;
    }
}

void LogParser::HandOutRun()
{
    if (run_) {
        onRun_(run_->summary);
        run_.reset();
    }
}

#include "log/debug_log_internal.h"

#include "process_log.h"
#include "support/module_path.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <strsafe.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPrefixLength = 24;
constexpr std::size_t kBomLength = 3;
constexpr std::size_t kCapacity = CQXDebugLog::kCapacity;

int Printf(CQXDebugLog& log, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = DebugLogVPrintf(log, format, args);
    va_end(args);
    return result;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (std::string::size_type end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

bool HasTimePrefix(const std::string& line)
{
    const std::string shape = "dddd/dd/dd dd:dd:dd,ddd,";
    if (line.size() < shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// The program's own log, which the tests of code that logs write to, starts
// before the first test and in a second of its own: no test's log shares
// its file name.
class ProcessLogFirst : public testing::Environment {
  public:
    void SetUp() override
    {
        DebugLogPrintf(L"%s", L"");
        SYSTEMTIME now = {};
        ::GetLocalTime(&now);
        ::Sleep(1001u - now.wMilliseconds);
    }
};

[[maybe_unused]] testing::Environment* const processLogFirst = testing::AddGlobalTestEnvironment(new ProcessLogFirst);

// Each test gets a fresh log whose file is removed afterwards; logs started
// in the same second share a file name, so no two live at once.
class DebugLogTest : public testing::Test {
  protected:
    void SetUp() override
    {
        DebugLogStart(*log_);
        path_ = log_->LogPath();
        ::DeleteFileW(path_.c_str());
    }

    void TearDown() override
    {
        log_.reset();
        ::DeleteFileW(path_.c_str());
    }

    // The file's text after its byte-order mark, once the log has written it all.
    std::string FileTextAfterEnd()
    {
        log_.reset();
        const std::string bytes = ReadFileBytes(path_);
        EXPECT_EQ(bytes.substr(0, kBomLength), "\xEF\xBB\xBF");
        return bytes.substr(kBomLength);
    }

    // The entries' texts, without their time prefixes.
    std::vector<std::string> EntriesAfterEnd()
    {
        std::vector<std::string> texts;
        for (const std::string& line : SplitLines(FileTextAfterEnd())) {
            EXPECT_TRUE(HasTimePrefix(line)) << line;
            texts.push_back(line.substr(kPrefixLength));
        }
        return texts;
    }

    std::unique_ptr<CQXDebugLog> log_ = std::make_unique<CQXDebugLog>();
    std::wstring path_;
};

std::string Narrow(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

std::string UserName()
{
    wchar_t name[256] = {};
    DWORD room = 256;
    ::GetUserNameW(name, &room);
    return Narrow(name);
}

// The local time as the log's file name writes it: YYYYMMDD_hhmmss.
std::wstring NameTimeNow()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t text[32] = {};
    ::StringCchPrintfW(text, 32, L"%04d%02d%02d_%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                       now.wSecond);
    return text;
}

TEST(DebugLogFileTest, FileLiesBesideTheExecutableNamedByTheStartTime)
{
    const std::wstring before = NameTimeNow();
    CQXDebugLog log;
    DebugLogStart(log);
    const std::wstring after = NameTimeNow();
    const std::wstring folder = GetExecutableFolder();
    ASSERT_EQ(log.LogPath().substr(0, folder.size()), folder);
    const std::wstring name = log.LogPath().substr(folder.size());
    ASSERT_EQ(name.size(), 32u) << Narrow(name);
    EXPECT_EQ(name.substr(0, 13), L"qx913hotfix2_");
    EXPECT_EQ(name.substr(28), L".log");
    // Fixed-width digits: the text order is the time order, across midnight too.
    const std::wstring started = name.substr(13, 15);
    EXPECT_LE(before, started) << Narrow(name);
    EXPECT_LE(started, after) << Narrow(name);
}

TEST_F(DebugLogTest, InitialInformationPrecedesOnlyTheFirstEntry)
{
    EXPECT_NE(DebugLogWrite(*log_, L"[info]: first"), 0);
    EXPECT_NE(DebugLogWrite(*log_, L"[info]: second"), 0);
    const std::vector<std::string> expected = {"#InitialInfo," + Narrow(GetExecutablePath()) + "," + UserName(),
                                               "[info]: first", "[info]: second"};
    EXPECT_EQ(EntriesAfterEnd(), expected);
}

TEST_F(DebugLogTest, EmptyEntryWritesNothingAndDoesNotCount)
{
    EXPECT_EQ(DebugLogWrite(*log_, L""), 0);
    EXPECT_EQ(DebugLogWrite(*log_, nullptr), 0);
    EXPECT_EQ(Printf(*log_, L"%s", L""), 0);
    EXPECT_FALSE(log_->Flush() && FileExists(path_));
    DebugLogWrite(*log_, L"[info]: after");
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].rfind("#InitialInfo,", 0), 0u);
    EXPECT_EQ(entries[1], "[info]: after");
}

TEST_F(DebugLogTest, FormatsWideStringsNumbersAndHexCodes)
{
    Printf(*log_, L"[info]: CopyFile, \"%s\", result , %d, ", L"a\u65E5.dll", -1);
    Printf(*log_, L"[error]: CopyFile, GetLastError, 0x%08x", 0x20u);
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1], "[info]: CopyFile, \"a\xE6\x97\xA5.dll\", result , -1, ");
    EXPECT_EQ(entries[2], "[error]: CopyFile, GetLastError, 0x00000020");
}

struct CutCase {
    std::size_t messageLength;
    std::size_t loggedLength;
};

class MessageCutTest : public DebugLogTest, public testing::WithParamInterface<CutCase> {};

// The formatting buffer is not cleared before use: leave text in the block
// of its size that the heap will most likely hand out next, so that a
// message not ended by the formatter itself would show it.
void LeaveTextInAFreedFormattingBlock()
{
    const std::unique_ptr<wchar_t[]> block(new wchar_t[10241]);
    // Through a volatile pointer, so that the compiler keeps block and text.
    wchar_t* volatile text = block.get();
    std::fill_n(text, 10241, L'x');
}

TEST_P(MessageCutTest, MessagesKeepAtMostTheirFirst10240Units)
{
    const std::wstring message(GetParam().messageLength, L'm');
    LeaveTextInAFreedFormattingBlock();
    EXPECT_NE(Printf(*log_, L"%s", message.c_str()), 0);
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], std::string(GetParam().loggedLength, 'm'));
}

INSTANTIATE_TEST_SUITE_P(Lengths, MessageCutTest,
                         testing::Values(CutCase{5, 5}, CutCase{10240, 10240}, CutCase{10241, 10240},
                                         CutCase{30000, 10240}));

TEST_F(DebugLogTest, NonBmpCharactersBecomeFourByteUtf8)
{
    DebugLogWrite(*log_, L"\U0001F600 \u65E5\u672C \u00E9");
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "\xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC \xC3\xA9");
}

TEST_F(DebugLogTest, LineBreaksInsideAnEntryCannotStartALineOfTheirOwn)
{
    DebugLogWrite(*log_, L"[info]: Modules Path, \"C:\\x\r\n2026/01/01 00:00:00,000,[info]: Hotfix is successful.\n\"");
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "[info]: Modules Path, \"C:\\x\xEF\xBF\xBD\xEF\xBF\xBD"
                          "2026/01/01 00:00:00,000,[info]: Hotfix is successful.\xEF\xBF\xBD\"");
}

TEST_F(DebugLogTest, SurrogatePairsStayWholeAcrossConversionPieces)
{
    for (const std::size_t before : {4094u, 4095u, 4096u, 8191u}) {
        ::DeleteFileW(path_.c_str());
        const std::wstring text = std::wstring(before, L'a') + L"\U0001F600b";
        EXPECT_EQ(log_->WriteToFile(text.c_str()), 1);
        EXPECT_EQ(ReadFileBytes(path_), "\xEF\xBB\xBF" + std::string(before, 'a')
                                            + "\xF0\x9F\x98\x80"
                                              "b")
            << before;
    }
}

// Buffer boundaries: at most capacity - 2 units by a plain append, capacity - 1
// right after a flush; anything longer goes straight to the file.
struct FlushCase {
    const char* name;
    std::size_t first;
    std::size_t second;
    std::size_t fileUnitsAfterSecond; // 0: the file is not written yet
};

class FlushRuleTest : public DebugLogTest, public testing::WithParamInterface<FlushCase> {};

TEST_P(FlushRuleTest, FlushesOnlyWhenTheNextLineDoesNotFit)
{
    const FlushCase& c = GetParam();
    EXPECT_EQ(DebugLogAppend(*log_, std::wstring(c.first, L'a').c_str()), 1);
    EXPECT_NE(DebugLogAppend(*log_, std::wstring(c.second, L'b').c_str()), 0);
    if (c.fileUnitsAfterSecond == 0) {
        EXPECT_FALSE(FileExists(path_));
    } else {
        EXPECT_EQ(ReadFileBytes(path_).size(), kBomLength + c.fileUnitsAfterSecond);
    }
    EXPECT_EQ(FileTextAfterEnd(), std::string(c.first, 'a') + std::string(c.second, 'b'));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, FlushRuleTest,
                         testing::Values(FlushCase{"SumJustFits", 524000, 286, 0},
                                         FlushCase{"SumOneOver", 524000, 287, 524000},
                                         FlushCase{"FillsEmptyBufferAfterFlush", 10, kCapacity - 1, 10},
                                         FlushCase{"TooLongForAnyBuffer", 10, kCapacity, 10 + kCapacity}),
                         [](const testing::TestParamInfo<FlushCase>& param) { return param.param.name; });

// The prefix is written by hand; it must match what the format gives for
// every time, widths beyond the padding included.
class LinePrefixTest : public testing::TestWithParam<SYSTEMTIME> {};

TEST_P(LinePrefixTest, MatchesTheFormattedPrefix)
{
    const SYSTEMTIME& time = GetParam();
    wchar_t expected[kLinePrefixRoom] = {};
    ::StringCchPrintfW(expected, kLinePrefixRoom, L"%04d/%02d/%02d %02d:%02d:%02d,%03d,", time.wYear, time.wMonth,
                       time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    wchar_t prefix[kLinePrefixRoom] = {};
    const std::size_t length = FormatLinePrefix(time, prefix);
    EXPECT_EQ(std::wstring(prefix), std::wstring(expected));
    EXPECT_EQ(length, std::wcslen(expected));
}

INSTANTIATE_TEST_SUITE_P(Times, LinePrefixTest,
                         testing::Values(SYSTEMTIME{2026, 12, 2, 8, 6, 5, 4, 3}, SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0},
                                         SYSTEMTIME{9999, 12, 6, 31, 23, 59, 59, 999},
                                         SYSTEMTIME{30827, 12, 0, 31, 23, 59, 59, 999},
                                         SYSTEMTIME{7, 9, 0, 9, 9, 9, 9, 9},
                                         SYSTEMTIME{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}));

TEST_F(DebugLogTest, ByteOrderMarkOnlyOnAnEmptyFile)
{
    // What the file held before, and what it holds after two appends.
    const std::pair<std::string, std::string> cases[] = {{"", "\xEF\xBB\xBF"
                                                              "ab"},
                                                         {"no mark\r\n", "no mark\r\nab"}};
    for (const auto& [before, after] : cases) {
        WriteFileBytes(path_, before);
        EXPECT_EQ(log_->WriteToFile(L"a"), 1);
        EXPECT_EQ(log_->WriteToFile(L"b"), 1);
        EXPECT_EQ(ReadFileBytes(path_), after) << "a byte-order mark belongs only at the start of an empty file";
    }
}

TEST_F(DebugLogTest, FileOfTheSameNameIsAppendedTo)
{
    WriteFileBytes(path_, "\xEF\xBB\xBF"
                          "earlier run\r\n");
    DebugLogWrite(*log_, L"[info]: this run");
    const std::vector<std::string> lines = SplitLines(FileTextAfterEnd());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_EQ(lines[2].substr(kPrefixLength), "[info]: this run");
}

TEST_F(DebugLogTest, FailedFlushDropsTheNewLineAndKeepsTheBufferedText)
{
    DebugLogAppend(*log_, std::wstring(524000, L'a').c_str());
    {
        const UniqueFileHandle holder(
            ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(DebugLogAppend(*log_, std::wstring(300, L'x').c_str()), 0);
    }
    ::DeleteFileW(path_.c_str());
    EXPECT_EQ(DebugLogAppend(*log_, std::wstring(300, L'b').c_str()), 1);
    EXPECT_EQ(ReadFileBytes(path_).size(), kBomLength + 524000);
    EXPECT_EQ(FileTextAfterEnd(), std::string(524000, 'a') + std::string(300, 'b'));
}

// Milliseconds from `start` until the condition holds, polled with a bound
// that a loaded machine stays far within; none at the bound.
template <typename Condition> std::optional<ULONGLONG> MillisecondsUntil(Condition condition, ULONGLONG start)
{
    constexpr ULONGLONG kBound = 10000;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        if (condition()) {
            return now - start;
        }
        if (now - start > kBound) {
            return std::nullopt;
        }
        ::Sleep(10);
    }
}

std::optional<ULONGLONG> MillisecondsUntilLines(const std::wstring& path, std::size_t lines, ULONGLONG start)
{
    return MillisecondsUntil(
        [&] {
            const std::string bytes = FileExists(path) ? ReadFileBytes(path) : std::string();
            return bytes.size() > kBomLength && SplitLines(bytes.substr(kBomLength)).size() >= lines;
        },
        start);
}

TEST_F(DebugLogTest, TimerWritesBufferedLinesAboutASecondLaterWithoutAnotherEntry)
{
    const ULONGLONG first = ::GetTickCount64();
    DebugLogWrite(*log_, L"[info]: first");
    DebugLogWrite(*log_, L"[info]: young");
    const std::optional<ULONGLONG> firstWritten = MillisecondsUntilLines(path_, 3, first);
    ASSERT_TRUE(firstWritten) << "no write of the buffer came without a new entry";
    EXPECT_GE(*firstWritten, 900u) << "the buffer was written before its oldest line was a second old";
    // A killed run loses at most about a second of lines.
    EXPECT_LE(*firstWritten, 2500u) << "the buffer was written long after its oldest line was a second old";
    // The timer is set again by the next line into the emptied buffer.
    const ULONGLONG second = ::GetTickCount64();
    DebugLogWrite(*log_, L"[info]: later");
    const std::optional<ULONGLONG> secondWritten = MillisecondsUntilLines(path_, 4, second);
    ASSERT_TRUE(secondWritten) << "a line after the first write was never written";
    EXPECT_LE(*secondWritten, 2500u) << "a line after the first write waited long past its second";
    const std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(entries.begin() + 1, entries.end()),
              (std::vector<std::string>{"[info]: first", "[info]: young", "[info]: later"}));
}

TEST_F(DebugLogTest, EntryDuringASlowFailedWriteDoesNotTryAgainAtOnce)
{
    // Every write takes 1.5 s and fails; the timer's first one starts a
    // second after the line.
    const ScopedEnvironment slow(L"QX_LOG_WRITE_DELAY_MS", L"1500");
    const ScopedEnvironment failing(L"QX_LOG_WRITE_LIMIT", L"0");
    DebugLogWrite(*log_, L"[info]: first");
    ASSERT_TRUE(MillisecondsUntil([this] { return FileExists(path_); }, ::GetTickCount64()));
    // The write is under way now; this entry waits for it to end and must
    // not start another, whose due time counts from the failure's end.
    const ULONGLONG start = ::GetTickCount64();
    DebugLogWrite(*log_, L"[info]: second");
    EXPECT_LT(::GetTickCount64() - start, 2500u) << "the entry tried the failed write again at once";
}

// The run's last write, by an interruption or at the end of wmain: what is
// buffered and the last entry reach the file at once, and nothing after.
struct LastWriteCase {
    const char* name;
    void (*end)(CQXDebugLog& log);
    std::vector<std::string> entries;
};

class LastWriteTest : public DebugLogTest, public testing::WithParamInterface<LastWriteCase> {};

TEST_P(LastWriteTest, WritesEverythingAtOnceAndNothingFollows)
{
    DebugLogWrite(*log_, L"[info]: before");
    GetParam().end(*log_);
    const std::string written = ReadFileBytes(path_);
    EXPECT_EQ(DebugLogWrite(*log_, L"[info]: after"), 0);
    GetParam().end(*log_);
    // Past the timer's second: it must not write anything either.
    ::Sleep(1200);
    EXPECT_EQ(ReadFileBytes(path_), written) << "something reached the file after the last write";
    std::vector<std::string> entries = EntriesAfterEnd();
    ASSERT_FALSE(entries.empty());
    entries.erase(entries.begin());
    EXPECT_EQ(entries, GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LastWriteTest,
    testing::Values(LastWriteCase{"InterruptedTwice",
                                  [](CQXDebugLog& log) {
                                      DebugLogWriteLast(log, L"[error]: The run was interrupted.");
                                  },
                                  {"[info]: before", "[error]: The run was interrupted."}},
                    LastWriteCase{"ClosedAtTheEnd", [](CQXDebugLog& log) { DebugLogClose(log); }, {"[info]: before"}},
                    LastWriteCase{"InterruptedAfterTheEnd",
                                  [](CQXDebugLog& log) {
                                      DebugLogClose(log);
                                      DebugLogWriteLast(log, L"[error]: The run was interrupted.");
                                  },
                                  {"[info]: before"}}),
    [](const testing::TestParamInfo<LastWriteCase>& param) { return param.param.name; });

// A flush whose write fails part-way (the fault seam writes 4 bytes of it),
// then one that the file takes. The cut-off text must never stand in the
// file in front of a whole copy of it.
struct FailedWriteCase {
    const char* name;
    const wchar_t* cutError; // null: cutting the failed write back succeeds
    const char* afterFailure;
    const char* atEnd;
};

class FailedWriteTest : public DebugLogTest, public testing::WithParamInterface<FailedWriteCase> {};

TEST_P(FailedWriteTest, LeavesNoDoubledText)
{
    const FailedWriteCase& c = GetParam();
    DebugLogAppend(*log_, L"first\r\n");
    ASSERT_EQ(log_->Flush(), 1);
    DebugLogAppend(*log_, L"second\r\n");
    {
        const ScopedEnvironment limit(L"QX_LOG_WRITE_LIMIT", L"4");
        const ScopedEnvironment cut(L"QX_LOG_CUT_ERROR", c.cutError);
        EXPECT_EQ(log_->Flush(), 0) << "a write that failed part-way counted as written";
    }
    EXPECT_EQ(ReadFileBytes(path_).substr(kBomLength), c.afterFailure);
    log_->Flush();
    EXPECT_EQ(FileTextAfterEnd(), c.atEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FailedWriteTest,
    testing::Values(FailedWriteCase{"CutBackThenWrittenWhole", nullptr, "first\r\n", "first\r\nsecond\r\n"},
                    FailedWriteCase{"NotCutBackSoNoMoreWrites", L"5", "first\r\nseco", "first\r\nseco"}),
    [](const testing::TestParamInfo<FailedWriteCase>& param) { return param.param.name; });

// Holds the log file open without sharing for a while, from another thread.
class FileHolder {
  public:
    FileHolder(const std::wstring& path, DWORD milliseconds)
        : file_(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)),
          release_([this, milliseconds] {
              ::Sleep(milliseconds);
              file_.reset();
          })
    {
    }
    ~FileHolder() { release_.join(); }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

  private:
    UniqueFileHandle file_;
    std::thread release_;
};

TEST_F(DebugLogTest, ReaderOfTheFileDoesNotKeepTheLogOut)
{
    // As a log viewer or a tail opens it: for reading, sharing everything.
    const UniqueFileHandle reader(::CreateFileW(path_.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(log_->WriteToFile(L"seen"), 1);
    EXPECT_LT(::GetTickCount64() - start, 1000u) << "the write waited for the reader";
    EXPECT_EQ(ReadFileBytes(path_), "\xEF\xBB\xBF"
                                    "seen");
}

TEST_F(DebugLogTest, WriteWaitsBrieflyForAFileHeldByAnotherProcess)
{
    const FileHolder holder(path_, 500);
    EXPECT_EQ(log_->WriteToFile(L"late"), 1);
    EXPECT_EQ(ReadFileBytes(path_), "\xEF\xBB\xBF"
                                    "late");
}

// Milliseconds that one write to the file takes.
ULONGLONG TimedWrite(CQXDebugLog& log, const wchar_t* text, int& result)
{
    const ULONGLONG start = ::GetTickCount64();
    result = log.WriteToFile(text);
    return ::GetTickCount64() - start;
}

TEST_F(DebugLogTest, WriteGivesUpOnAFileHeldForLongAndLaterWritesDoNotWait)
{
    const UniqueFileHandle holder(
        ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    int result = -1;
    // About two seconds of pauses between tries, however slow the machine.
    const ULONGLONG firstWait = TimedWrite(*log_, L"lost", result);
    EXPECT_EQ(result, 0);
    EXPECT_GE(firstWait, 1500u);
    // A wait that did not help is not repeated: one try, no pauses.
    const ULONGLONG laterWait = TimedWrite(*log_, L"lost too", result);
    EXPECT_EQ(result, 0);
    EXPECT_LT(laterWait * 4, firstWait);
}

// The writes that are worth waiting for again, after a sharing wait that
// failed: the last one, the flush before the run lock lets the next run go,
// and the interrupted entry's.
struct WaitAgainCase {
    const char* name;
    void (*write)(CQXDebugLog& log);
};

class WaitAgainTest : public DebugLogTest, public testing::WithParamInterface<WaitAgainCase> {};

TEST_P(WaitAgainTest, WaitsAgainForAFileHeldBrieflyAfterAWaitThatFailed)
{
    {
        const UniqueFileHandle holder(
            ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_EQ(log_->WriteToFile(L"lost\r\n"), 0);
    }
    // The flush timer's first try comes a second after this line: too late
    // to stand in for a write that gives up at once.
    DebugLogAppend(*log_, L"kept line\r\n");
    {
        const FileHolder briefly(path_, 300);
        GetParam().write(*log_);
    }
    EXPECT_EQ(ReadFileBytes(path_).substr(kBomLength, 11), "kept line\r\n") << "the write gave up at once";
}

INSTANTIATE_TEST_SUITE_P(Writes, WaitAgainTest,
                         testing::Values(WaitAgainCase{"Last", [](CQXDebugLog& log) { DebugLogClose(log); }},
                                         WaitAgainCase{"BeforeTheLockIsLetGo",
                                                       [](CQXDebugLog& log) { DebugLogFlush(log); }},
                                         WaitAgainCase{"Interrupted",
                                                       [](CQXDebugLog& log) {
                                                           DebugLogWriteLast(log, L"[error]: The run was interrupted.");
                                                       }}),
                         [](const testing::TestParamInfo<WaitAgainCase>& param) { return param.param.name; });

TEST_F(DebugLogTest, ProbeLeavesTheFolderAsItWas)
{
    const std::wstring folder = GetExecutableFolder();
    const std::wstring existing = folder + L"templog.log";
    WriteFileBytes(existing, "keep me");
    CQXDebugLog second;
    DebugLogStart(second);
    EXPECT_EQ(second.LogPath().substr(0, folder.size()), folder);
    EXPECT_EQ(ReadFileBytes(existing), "keep me");
    ::DeleteFileW(existing.c_str());
    WIN32_FIND_DATAW found = {};
    const UniqueFindHandle probes(::FindFirstFileW((folder + L"qxprobe_*").c_str(), &found));
    EXPECT_FALSE(probes) << Narrow(found.cFileName);
}

TEST(DebugLogFileTest, ConcurrentFirstEntriesGetOneInitialInformationLine)
{
    CQXDebugLog fresh;
    std::thread other([&fresh] { DebugLogWrite(fresh, L"[info]: other"); });
    DebugLogWrite(fresh, L"[info]: main");
    other.join();
    const std::wstring path = fresh.LogPath();
    ::DeleteFileW(path.c_str());
    fresh.Flush();
    const std::vector<std::string> lines = SplitLines(ReadFileBytes(path).substr(kBomLength));
    ::DeleteFileW(path.c_str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(kPrefixLength, 13), "#InitialInfo,");
}

} // namespace

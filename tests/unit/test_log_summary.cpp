#include "csv.h"
#include "log_files.h"
#include "log_parser.h"
#include "process_log.h"
#include "tally.h"
#include "test_files.h"
#include "windows_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kFffd = "\xEF\xBF\xBD";

// One line as the hotfix writes it, with the line end given.
std::string Line(const std::string& entry, const std::string& end = "\r\n")
{
    return "2026/12/08 04:51:22,459," + entry + end;
}

std::string Lines(const std::vector<std::string>& entries, const std::string& end = "\r\n")
{
    std::string text;
    for (const std::string& entry : entries) {
        text += Line(entry, end);
    }
    return text;
}

const std::vector<std::string> kHead = {"#InitialInfo,C:\\hotfix\\qxhotfix.exe,Administrator", "[info]: Silent Mode",
                                        "[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, 3",
                                        "[info]: ProductType, 1",
                                        "[info]: Modules Path, \"C:\\hotfix\\modules\\181235_bin\\\""};
const std::string kCopied = "[info]: CopyFile, \"qxcore.dll\", result , 1, ";
const std::string kSuccess = "[info]: Hotfix is successful.";
const std::string kHeadFields = "2026-12-08 04:51:22.459|Administrator|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|1|";
const std::string kAppliedSummary =
    "applied|2026-12-08 04:51:22.459|Administrator|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|1|2||";

// The rest of a run that waited, after the run it waited for.
const std::string kWaiting = "[info]: Waiting for another hotfix run to finish.";
const std::vector<std::string> kWaitedRest = {"[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, 3",
                                              "[info]: ProductType, 2", kCopied, kSuccess};
const std::string kWaitedSummary = "applied|2026-12-08 04:51:22.459|B|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|2|1||";

// The first lines of a run of this user that has to wait.
std::string WaitingBlock(const std::string& user)
{
    return Lines({"#InitialInfo,C:\\hotfix\\qxhotfix.exe," + user, "[info]: Silent Mode", kWaiting});
}

// A run of this user that waited and failed with the error, logging nothing else.
std::string WaiterFailed(const std::string& user, const std::string& error)
{
    return "failed|2026-12-08 04:51:22.459|" + user + "|C:\\hotfix\\qxhotfix.exe|silent|||0|" + error + "|";
}

std::vector<std::string> With(std::vector<std::string> entries, const std::vector<std::string>& more)
{
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

std::string Describe(const RunSummary& run)
{
    return std::string(OutcomeName(run.outcome)) + "|" + run.started + "|" + run.user + "|" + run.exePath + "|"
           + run.mode + "|" + run.release + "|" + run.productType + "|" + std::to_string(run.filesCopied) + "|"
           + run.error + "|" + (run.errorCode ? std::to_string(*run.errorCode) : "");
}

// Parses bytes handed over in pieces of the given size (0: all at once).
std::vector<std::string> Parse(const std::string& bytes, std::size_t pieceSize)
{
    std::vector<std::string> runs;
    LogParser parser([&runs](const RunSummary& run) { runs.push_back(Describe(run)); });
    const std::size_t step = pieceSize == 0 ? bytes.size() + 1 : pieceSize;
    for (std::size_t at = 0; at < bytes.size() && !parser.NotALog(); at += step) {
        parser.Feed(std::string_view(bytes).substr(at, step));
    }
    parser.Finish();
    return runs;
}

struct ParseCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> runs;
};

TEST(LogParserTest, SummarizesEachRun)
{
    const std::string applied = kBom + Lines(With(kHead, {kCopied, kCopied, kSuccess}));
    const std::string unreadable = "unreadable|||||||0||";
    const std::vector<ParseCase> cases = {
        {"applied", applied, {kAppliedSummary}},
        {"not applicable",
         kBom
             + Lines({"#InitialInfo,C:\\q.exe,", "[info]: Normal Mode",
                      "[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, -2",
                      "[error]: This Version of Quorvex is not applicable."}),
         {"not applicable|2026-12-08 04:51:22.459||C:\\q.exe|normal|9.1.-2||0|"
          "This Version of Quorvex is not applicable.|"}},
        {"last line without its line end",
         kBom + Lines(With(kHead, {kCopied, kCopied})) + Line(kSuccess, ""),
         {kAppliedSummary}},
        {"blank lines and LF CR",
         kBom + "\r\n" + Lines(With(kHead, {kCopied, kCopied, kSuccess}), "\n\r\n"),
         {kAppliedSummary}},
        {"junk between lines is skipped",
         kBom + Lines(With(kHead, {kCopied})) + std::string("\x00\xFF junk\r\n", 9) + Lines({kCopied, kSuccess}),
         {kAppliedSummary}},
        {"nothing counts after the final entry", applied + Lines({"[error]: late", kCopied}), {kAppliedSummary}},
        {"no initial information line",
         Lines({"[info]: ProductType, 2", kSuccess}),
         {"applied|2026-12-08 04:51:22.459|||||2|0||"}},
        {"comma in the path",
         Lines({"#InitialInfo,C:\\a,b\\qxhotfix.exe,ops"}),
         {"incomplete|2026-12-08 04:51:22.459|ops|C:\\a,b\\qxhotfix.exe||||0||"}},
        {"values of another shape are left out",
         Lines({"[info]: MajorVersion, 9, MinorVersion, 1", "[info]: ProductType, 1x", kSuccess}),
         {"applied|2026-12-08 04:51:22.459||||||0||"}},
        {"an information entry with a code is no error",
         Lines({"[info]: Running without the single-run lock, GetLastError, 0x00000005", kSuccess}),
         {"applied|2026-12-08 04:51:22.459||||||0||"}},
        {"an error without a code",
         Lines({"[error]: Another hotfix run did not finish in time."}),
         {"failed|2026-12-08 04:51:22.459||||||0|Another hotfix run did not finish in time.|"}},
        {"a removal is removed, and its restored files are no copies",
         Lines({"#InitialInfo,C:\\pkg\\run-hotfix.exe,SYSTEM", "[info]: Uninstall Mode",
                "[info]: RestoreFile, \"C:\\q\\qxcore.dll\", result , 1, ",
                "[info]: DeleteFile, \"C:\\q\\new.dll\", result , 1, ", "[info]: Hotfix is removed."}),
         {"removed|2026-12-08 04:51:22.459|SYSTEM|C:\\pkg\\run-hotfix.exe|uninstall|||0||"}},
        {"a refused removal is failed with its error",
         Lines({"#InitialInfo,C:\\pkg\\run-hotfix.exe,SYSTEM", "[info]: Uninstall Mode",
                "[info]: RestoreFile, \"C:\\q\\qxcore.dll\", result , 0, ",
                "[error]: RestoreFile, GetLastError, 0x00000020"}),
         {"failed|2026-12-08 04:51:22.459|SYSTEM|C:\\pkg\\run-hotfix.exe|uninstall|||0|"
          "RestoreFile, GetLastError, 0x00000020|32"}},
        {"an interrupted run is failed with its error",
         Lines(With(kHead, {kCopied, "[error]: The run was interrupted."})),
         {"failed|2026-12-08 04:51:22.459|Administrator|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|1|1|"
          "The run was interrupted.|"}},
        {"an overlong line is cut",
         Lines({"[info]: CopyFile, \"" + std::string(200000, 'a') + "\", result , 1, ", kSuccess}),
         {"applied|2026-12-08 04:51:22.459||||||0||"}},
        {"a waiting run's first lines ahead of the run it waits for",
         Lines({"#InitialInfo,C:\\hotfix\\qxhotfix.exe,B", "[info]: Silent Mode", kWaiting})
             + Lines(With(kHead, {kCopied, kCopied, kSuccess})) + Lines(kWaitedRest),
         {kAppliedSummary, kWaitedSummary}},
        {"a waiting run's first lines amid the run it waits for",
         Lines(With(kHead, {kCopied}))
             + Lines({"#InitialInfo,C:\\hotfix\\qxhotfix.exe,B", "[info]: Silent Mode", kWaiting})
             + Lines({kCopied, kSuccess}) + Lines(kWaitedRest),
         {kAppliedSummary, kWaitedSummary}},
        {"a waiting run's own timeout stays with it",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B")
             + Lines({"[error]: Another hotfix run did not finish in time."}) + Lines({kCopied, kSuccess}),
         {WaiterFailed("B", "Another hotfix run did not finish in time."), kAppliedSummary}},
        {"a waiting run's interruption right after its waiting entry stays with it",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + Lines({"[error]: The run was interrupted."})
             + Lines({kCopied, kSuccess}),
         {WaiterFailed("B", "The run was interrupted."), kAppliedSummary}},
        {"a waiting run's interruption amid the lines of the run holding the lock stays with it",
         Lines(kHead) + WaitingBlock("B") + Lines({kCopied, "[error]: The run was interrupted.", kCopied, kSuccess}),
         {WaiterFailed("B", "The run was interrupted."), kAppliedSummary}},
        {"the interruption of the run holding the lock while another waits stays with it",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + Lines({kCopied, "[error]: The run was interrupted."})
             + Lines(kWaitedRest),
         {"failed|" + kHeadFields + "2|The run was interrupted.|", kWaitedSummary}},
        {"an interruption that ends the file while another run waits is the holder's",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + Lines({kCopied, "[error]: The run was interrupted."}),
         {"failed|" + kHeadFields + "2|The run was interrupted.|",
          "incomplete|2026-12-08 04:51:22.459|B|C:\\hotfix\\qxhotfix.exe|silent|||0||"}},
        {"a run killed while another waits, which takes the abandoned lock",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + Lines(kWaitedRest),
         {"incomplete|2026-12-08 04:51:22.459|Administrator|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|1|1||",
          kWaitedSummary}},
        {"three runs take turns",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + Lines({kCopied}) + WaitingBlock("C") + Lines({kSuccess})
             + Lines(kWaitedRest)
             + Lines({"[info]: MajorVersion, 9, MinorVersion, 1, PatchVersion, 3", "[info]: ProductType, 7",
                      "[error]: CopyFile, GetLastError, 0x00000020"}),
         {kAppliedSummary, kWaitedSummary,
          "failed|2026-12-08 04:51:22.459|C|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|7|0|"
          "CopyFile, GetLastError, 0x00000020|32"}},
        {"a second waiter times out while the first has the lock",
         Lines(With(kHead, {kCopied})) + WaitingBlock("B") + WaitingBlock("C") + Lines({kCopied, kSuccess})
             + Lines({kWaitedRest[0], kWaitedRest[1]})
             + Lines({"[error]: Another hotfix run did not finish in time.", kCopied, kSuccess}),
         {kAppliedSummary, WaiterFailed("C", "Another hotfix run did not finish in time."), kWaitedSummary}},
        {"a killed run, then a run in the same second",
         Lines(With(kHead, {kCopied})) + Lines(With(kHead, {kCopied, kCopied, kSuccess})),
         {"incomplete|2026-12-08 04:51:22.459|Administrator|C:\\hotfix\\qxhotfix.exe|silent|9.1.3|1|1||",
          kAppliedSummary}},
        {"byte-order mark only", kBom, {unreadable}},
        {"time without entry", "2026/12/08 04:51:22,459,\r\n", {unreadable}},
    };
    for (const ParseCase& test : cases) {
        for (const std::size_t pieceSize : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            EXPECT_EQ(Parse(test.bytes, pieceSize), test.runs) << test.name << ", pieces of " << pieceSize;
        }
    }
}

// A folder of its own under the temporary folder, removed with its files.
class TemporaryFolder {
  public:
    TemporaryFolder()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"qxlogsummary_test_" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TemporaryFolder()
    {
        for (const std::wstring& file : files_) {
            ::DeleteFileW(file.c_str());
        }
        ::RemoveDirectoryW(path_.c_str());
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    std::wstring File(const std::wstring& name)
    {
        files_.push_back(path_ + name);
        return files_.back();
    }

  private:
    std::wstring path_;
    std::vector<std::wstring> files_;
};

std::vector<std::string> SummarizeFile(const std::wstring& path)
{
    std::vector<std::string> runs;
    SummarizeLogFile(path, [&runs](const RunSummary& run) { runs.push_back(Describe(run)); });
    return runs;
}

TEST(LogFileTest, EachFileGivesItsRunsOrTheCallThatFailed)
{
    TemporaryFolder folder;
    const std::wstring whole = folder.File(L"whole.log");
    WriteFileBytes(whole, kBom + Lines(With(kHead, {kCopied, kSuccess})));
    const std::wstring empty = folder.File(L"empty.log");
    WriteFileBytes(empty, "");
    struct FileCase {
        const char* name;
        std::wstring path;
        std::string run;
    };
    const std::vector<FileCase> cases = {
        {"a whole file is read to its end", whole, "applied|" + kHeadFields + "1||"},
        {"an empty file is unreadable without an error", empty, "unreadable|||||||0||"},
        {"a missing file names CreateFile", folder.File(L"missing.log"),
         "unreadable|||||||0|CreateFile, GetLastError, 0x00000002|2"},
    };
    for (const FileCase& test : cases) {
        EXPECT_EQ(SummarizeFile(test.path), std::vector<std::string>{test.run}) << test.name;
    }
}

TEST(LogFileTest, AFileWhoseReadingFailsNamesReadFile)
{
    // Under Wine on Linux: a real file that opens, tells a size of 4096 and
    // fails every read (EINVAL, as the loopback device has no speed).
    const std::wstring path = L"Z:\\sys\\class\\net\\lo\\speed";
    if (!FileExists(path)) {
        GTEST_SKIP() << "no file that fails every read is at hand (Linux's /sys, reached through Wine)";
    }
    std::vector<RunSummary> runs;
    SummarizeLogFile(path, [&runs](const RunSummary& run) { runs.push_back(run); });
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, Outcome::kUnreadable) << "a read error is no end of the file";
    EXPECT_EQ(runs[0].error.rfind("ReadFile, GetLastError, 0x", 0), 0u) << "the row names ReadFile: " << runs[0].error;
    EXPECT_TRUE(runs[0].errorCode.has_value());
}

TEST(LogFileTest, AReadErrorPartWayIsUnreadableNamesReadFileAndKeepsWhatWasRead)
{
    TemporaryFolder folder;
    // Longer than the first piece read, so that a read failing beyond it
    // stops the reading part way, with the run's head read.
    std::string bytes = kBom + Lines(kHead);
    const std::size_t head = bytes.size();
    const std::size_t firstPiece = 64 * 1024;
    while (bytes.size() < 2 * firstPiece) {
        bytes += Line(kCopied);
    }
    bytes += Line(kSuccess);
    const std::wstring path = folder.File(L"locked.log");
    WriteFileBytes(path, bytes);
    // As a range that another process has locked: the read fails with 33.
    const ScopedEnvironment failing(L"QX_SUMMARY_READ_FAIL_AT", std::to_wstring(firstPiece).c_str());

    const std::string copiesBeforeLock = std::to_string((firstPiece - head) / Line(kCopied).size());
    EXPECT_EQ(SummarizeFile(path), std::vector<std::string>{"unreadable|" + kHeadFields + copiesBeforeLock
                                                            + "|ReadFile, GetLastError, 0x00000021|33"})
        << "a read error part way gives an unreadable row naming ReadFile";
}

TEST(TallyTest, ExitCodeNeverHidesARunNotAppliedOrASummaryNotWhole)
{
    struct TallyCase {
        const char* behaviour;
        std::vector<Outcome> runs;
        std::function<void(Tally&)> also;
        int exitCode;
    };
    const auto nothing = [](Tally&) {};
    const auto unreadFolder = [](Tally& tally) { tally.CountUnreadFolder(); };
    const auto cutOutput = [](Tally& tally) { tally.CountCutOutput(); };
    const std::vector<TallyCase> cases = {
        {"every run applied exits 0", {Outcome::kApplied, Outcome::kApplied}, nothing, 0},
        {"a not applicable run counts as not applied",
         {Outcome::kApplied, Outcome::kNotApplicable, Outcome::kApplied},
         nothing,
         1},
        {"a failed run counts as not applied", {Outcome::kApplied, Outcome::kFailed, Outcome::kApplied}, nothing, 1},
        {"an incomplete run counts as not applied",
         {Outcome::kApplied, Outcome::kIncomplete, Outcome::kApplied},
         nothing,
         1},
        {"an unreadable file counts as not applied",
         {Outcome::kApplied, Outcome::kUnreadable, Outcome::kApplied},
         nothing,
         1},
        {"a removal counts as not applied", {Outcome::kApplied, Outcome::kRemoved}, nothing, 1},
        {"no run found exits 2", {}, nothing, 2},
        {"an unread folder exits 2 though every run was applied", {Outcome::kApplied}, unreadFolder, 2},
        {"an unread folder exits 2 though a run was not applied", {Outcome::kFailed}, unreadFolder, 2},
        {"a cut output exits 2 though every run was applied", {Outcome::kApplied}, cutOutput, 2},
    };
    for (const TallyCase& test : cases) {
        Tally tally;
        for (const Outcome outcome : test.runs) {
            tally.CountRun(outcome);
        }
        test.also(tally);
        EXPECT_EQ(tally.ExitCode(), test.exitCode) << test.behaviour;
    }
}

TEST(CsvTest, RecordsFollowRfc4180)
{
    EXPECT_EQ(CsvRecord({"a", "", "b c"}), "a,,b c\r\n");
    EXPECT_EQ(CsvRecord({"2026/12/08 04:51:22,459"}), "\"2026/12/08 04:51:22,459\"\r\n");
    EXPECT_EQ(CsvRecord({"say \"hi\"", "x"}), "\"say \"\"hi\"\"\",x\r\n");
    EXPECT_EQ(CsvRecord({"line\r\nbreak"}), "line" + kFffd + kFffd + "break\r\n");
}

TEST(CsvTest, FieldsThatASpreadsheetWouldRunStayText)
{
    EXPECT_EQ(CsvRecord({"=HYPERLINK(\"x\")", "+1+1", "@SUM(A1)", "-1.1.3"}),
              "\"'=HYPERLINK(\"\"x\"\")\",'+1+1,'@SUM(A1),'-1.1.3\r\n");
    EXPECT_EQ(CsvRecord({"-1", "+7", "9.1.3", "a=b"}), "-1,+7,9.1.3,a=b\r\n");
}

TEST(WindowsTextTest, SystemMessageOnOneLine)
{
    const std::wstring sharingViolation = SystemMessage(ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(sharingViolation.empty());
    EXPECT_EQ(sharingViolation.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_NE(sharingViolation.back(), L' ');
    EXPECT_EQ(SystemMessage(0x2000FFFF), L"");
    EXPECT_EQ(ErrorCodeText(ERROR_SHARING_VIOLATION), "0x00000020");
}

TEST(WindowsTextTest, MeaningAddsTheHotfixsAdviceToWindowsText)
{
    const std::wstring closeIt = L"Close the product, then run the hotfix again.";
    const std::wstring squatted = L"Another account holds the name of the hotfix's run lock; runs go on without it.";
    // code, the advice after Windows' text
    const std::vector<std::pair<DWORD, std::wstring>> rows = {
        {ERROR_SHARING_VIOLATION, closeIt}, {ERROR_USER_MAPPED_FILE, closeIt}, {ERROR_INVALID_OWNER, squatted},
        {ERROR_ACCESS_DENIED, L""},         {ERROR_PATH_NOT_FOUND, L""},
    };
    for (const auto& [code, advice] : rows) {
        const std::wstring text = SystemMessage(code);
        EXPECT_EQ(ErrorMeaning(code), text + (text.empty() || advice.empty() ? L"" : L" ") + advice)
            << "error " << code;
    }
}

} // namespace

// qxlogsummary: reads the logs of qxhotfix runs collected from many machines
// and prints one CSV row per run. Exit code: 0 every run was applied, 1 some
// run was not, 2 a folder could not be read, no log was found or the CSV
// could not be written whole (see tally.h).
#include "csv.h"
#include "log_files.h"
#include "log_parser.h"
#include "output.h"
#include "tally.h"
#include "windows_text.h"

#include <cwchar>
#include <string>

namespace {

constexpr const wchar_t* kUsage =
    L"usage: qxlogsummary FOLDER...  (one CSV row per hotfix run in the folders' *qx913hotfix2_*.log files)";

std::string HeaderRow()
{
    return CsvRecord({"machine", "file", "started", "user", "exe_path", "mode", "release", "product_type",
                      "files_copied", "outcome", "error", "meaning"});
}

std::string RunRow(const std::string& machine, const std::string& file, const RunSummary& run)
{
    const bool unreadable = run.outcome == Outcome::kUnreadable;
    const std::string filesCopied = unreadable ? std::string() : std::to_string(run.filesCopied);
    const std::string meaning = run.errorCode ? ToUtf8(ErrorMeaning(*run.errorCode)) : std::string();
    return CsvRecord({machine, file, run.started, run.user, run.exePath, run.mode, run.release, run.productType,
                      filesCopied, OutcomeName(run.outcome), run.error, meaning});
}

// Writes a row for each run the file holds, or one for a file that is not
// a log or cannot be read.
void WriteRowsOfLogFile(const std::wstring& path, const std::wstring& name, StandardOutput& out, Tally& tally)
{
    const std::string machine = ToUtf8(MachineOfLogName(name));
    const std::string file = ToUtf8(path);
    SummarizeLogFile(path, [&](const RunSummary& run) {
        tally.CountRun(run.outcome);
        out.Write(RunRow(machine, file, run));
    });
}

void SummarizeFolder(const std::wstring& folder, StandardOutput& out, Tally& tally)
{
    const LogFolderListing listing = ListLogFiles(folder);
    if (listing.error != ERROR_SUCCESS) {
        tally.CountUnreadFolder();
        PrintError(L"qxlogsummary: cannot read the folder " + folder + L": " + SystemMessage(listing.error));
    }
    for (const std::wstring& name : listing.names) {
        WriteRowsOfLogFile(JoinPath(folder, name), name, out, tally);
    }
}

bool AsksForUsage(int argc, wchar_t* argv[])
{
    if (argc < 2) {
        return true;
    }
    for (int index = 1; index < argc; ++index) {
        if (std::wcscmp(argv[index], L"/?") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (AsksForUsage(argc, argv)) {
        PrintError(kUsage);
        return kSummaryNotWhole;
    }
    try {
        StandardOutput out;
        out.Write(kUtf8ByteOrderMark);
        out.Write(HeaderRow());
        Tally tally;
        for (int index = 1; index < argc; ++index) {
            SummarizeFolder(argv[index], out, tally);
        }
        if (tally.NoRunFound()) {
            PrintError(L"qxlogsummary: no qx913hotfix2 log found in the folders given");
        }
        out.Flush();
        if (out.WriteError() != ERROR_SUCCESS) {
            tally.CountCutOutput();
            PrintError(L"qxlogsummary: the summary could not be written whole, error "
                       + std::to_wstring(out.WriteError()) + L": " + SystemMessage(out.WriteError()));
        }
        return tally.ExitCode();
    } catch (...) {
        PrintError(L"qxlogsummary: stopped on an unexpected error (out of memory?)");
        return kSummaryNotWhole;
    }
}

// log_bench: what one diagnostic-log entry costs, measured in this process
// on a log object of its own.
//
// Usage: log_bench [ENTRIES [ROUNDS]]     (defaults: 200000 and 21)
//
// Prints medians:
//   entry_ns_nearly_empty   one 100-character entry, buffer nearly empty (ROUNDS batches)
//   entry_ns_nearly_full    the same, buffer nearly full (ROUNDS batches)
//   full_empty_ratio        the second over the first
//   entries_per_second      ENTRIES entries in a row, every file write included
//                           (up to five runs)
// The entry costs count no file write: the buffer is filled and emptied
// outside the timed batches, which stay clear of the flush point. The log
// file is removed at the end.
#include "log/debug_log_internal.h"

#include <windows.h>

#include <strsafe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBatchEntries = 100;
constexpr std::size_t kPrefixLength = 24;
constexpr std::size_t kLineEndLength = 2;
// Buffered text never exceeds this by a plain append (capacity - 2).
constexpr std::size_t kFullestBuffered = CQXDebugLog::kCapacity - 2;

constexpr const wchar_t* kEntryFormat = L"[info]: CopyFile, \"%s\", result , %d, ";
// With the format, a 100-character entry, as for a file with a long name.
constexpr const wchar_t* kFileName = L"quorvex_reporting_engine_component_library_module_0001_x64_913.dll";

int Printf(CQXDebugLog& log, const wchar_t* format, ...)
{
    va_list args; // NOLINT(cppcoreguidelines-init-variables): va_start sets it
    va_start(args, format);
    const int recorded = DebugLogVPrintf(log, format, args);
    va_end(args);
    return recorded;
}

int Entry(CQXDebugLog& log)
{
    return Printf(log, kEntryFormat, kFileName, 1);
}

std::size_t EntryLineLength()
{
    wchar_t text[256] = {};
    ::StringCchPrintfW(text, 256, kEntryFormat, kFileName, 1);
    return kPrefixLength + std::wcslen(text) + kLineEndLength;
}

LONGLONG Now()
{
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double Seconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "log_bench: %s\n", what);
    std::exit(1);
}

// Empties the buffer through the file, outside any timing.
void Empty(CQXDebugLog& log)
{
    if (!log.Flush()) {
        Fail("the log file could not be written");
    }
}

// A started log object of the benchmark's own; its file goes with it.
class ScratchLog {
  public:
    ScratchLog() : log_(std::make_unique<CQXDebugLog>()) { DebugLogStart(*log_); }
    ~ScratchLog()
    {
        const std::wstring path = log_->LogPath();
        log_.reset();
        ::DeleteFileW(path.c_str());
    }
    ScratchLog(const ScratchLog&) = delete;
    ScratchLog& operator=(const ScratchLog&) = delete;

    CQXDebugLog& get() noexcept { return *log_; }

  private:
    std::unique_ptr<CQXDebugLog> log_;
};

// Nanoseconds per entry of one batch entered with `buffered` units already
// in the buffer; the batch ends at or below the flush point.
double BatchCost(CQXDebugLog& log, std::size_t buffered)
{
    if (buffered != 0) {
        DebugLogAppend(log, std::wstring(buffered, L'x').c_str());
    }
    const LONGLONG start = Now();
    for (int entry = 0; entry < kBatchEntries; ++entry) {
        Entry(log);
    }
    const double nanoseconds = Seconds(Now() - start) * 1e9 / kBatchEntries;
    Empty(log);
    return nanoseconds;
}

double EntriesPerSecond(int entries)
{
    ScratchLog scratch;
    const LONGLONG start = Now();
    for (int entry = 0; entry < entries; ++entry) {
        Entry(scratch.get());
    }
    Empty(scratch.get());
    return entries / Seconds(Now() - start);
}

struct EntryCosts {
    double nearlyEmpty;
    double nearlyFull;
};

EntryCosts MedianEntryCosts(int rounds)
{
    const std::size_t nearlyFull = kFullestBuffered - kBatchEntries * EntryLineLength();
    ScratchLog scratch;
    // The first entry also writes the initial-information line: not timed.
    Entry(scratch.get());
    Empty(scratch.get());
    std::vector<double> emptyCosts;
    std::vector<double> fullCosts;
    // Alternated, so that a disturbance of the machine hits both alike.
    for (int round = 0; round < rounds; ++round) {
        emptyCosts.push_back(BatchCost(scratch.get(), 0));
        fullCosts.push_back(BatchCost(scratch.get(), nearlyFull));
    }
    return EntryCosts{Median(emptyCosts), Median(fullCosts)};
}

int PositiveArgument(int argc, wchar_t* argv[], int index, int fallback)
{
    if (argc <= index) {
        return fallback;
    }
    const long value = std::wcstol(argv[index], nullptr, 10);
    if (value <= 0) {
        Fail("counts must be positive numbers");
    }
    return static_cast<int>(value);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const int entries = PositiveArgument(argc, argv, 1, 200000);
    const int rounds = PositiveArgument(argc, argv, 2, 21);

    const EntryCosts costs = MedianEntryCosts(rounds);
    std::vector<double> rates;
    for (int round = 0; round < std::min(rounds, 5); ++round) {
        rates.push_back(EntriesPerSecond(entries));
    }

    std::printf("entry_ns_nearly_empty %.1f\n", costs.nearlyEmpty);
    std::printf("entry_ns_nearly_full %.1f\n", costs.nearlyFull);
    std::printf("full_empty_ratio %.3f\n", costs.nearlyFull / costs.nearlyEmpty);
    std::printf("entries_per_second %.0f\n", Median(rates));
    return 0;
}

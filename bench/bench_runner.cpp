// bench_runner: runs one program once and reports what it cost.
//
// Usage: bench_runner time|memory PROGRAM [ARGUMENT]...
//
//   time     prints "elapsed_ms T exit N": the wall time from creating the
//            process to its end, process start and exit included.
//   memory   prints "peak_private_kib K samples S exit N": the largest
//            private usage seen while the program ran. Wine keeps no peak
//            for another process and forgets its counters once it ends, so
//            the runner samples them without pause; that costs the child
//            time, which is why the two are never measured in one run.
//
// Returns 0 when the program ran (whatever its exit code), 1 otherwise.
#include "support/unique_handle.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

// Quotes one argument so that the child's argument parser gives it back
// unchanged: backslashes only need doubling in front of a quote.
std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring CommandLine(int argc, wchar_t* argv[])
{
    std::wstring line;
    for (int index = 0; index < argc; ++index) {
        line += (index == 0 ? L"" : L" ") + QuoteArgument(argv[index]);
    }
    return line;
}

struct Child {
    UniqueKernelHandle process;
    UniqueKernelHandle thread;
};

Child Start(int argc, wchar_t* argv[])
{
    std::wstring line = CommandLine(argc, argv);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(argv[0], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        std::fwprintf(stderr, L"bench_runner: cannot start %ls, error %lu\n", argv[0],
                      static_cast<unsigned long>(::GetLastError()));
        std::exit(1);
    }
    return Child{UniqueKernelHandle(started.hProcess), UniqueKernelHandle(started.hThread)};
}

unsigned long ExitCode(const Child& child)
{
    DWORD code = 0;
    ::GetExitCodeProcess(child.process.get(), &code);
    return code;
}

double Milliseconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

void MeasureTime(int argc, wchar_t* argv[])
{
    LARGE_INTEGER start = {};
    LARGE_INTEGER end = {};
    ::QueryPerformanceCounter(&start);
    const Child child = Start(argc, argv);
    ::WaitForSingleObject(child.process.get(), INFINITE);
    ::QueryPerformanceCounter(&end);
    std::printf("elapsed_ms %.3f exit %lu\n", Milliseconds(end.QuadPart - start.QuadPart), ExitCode(child));
}

void MeasureMemory(int argc, wchar_t* argv[])
{
    const Child child = Start(argc, argv);
    SIZE_T peak = 0;
    unsigned long samples = 0;
    do {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof(counters);
        if (::GetProcessMemoryInfo(child.process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof(counters))) {
            peak = std::max({peak, counters.PrivateUsage, counters.PeakPagefileUsage});
            ++samples;
        }
    } while (::WaitForSingleObject(child.process.get(), 0) == WAIT_TIMEOUT);
    std::printf("peak_private_kib %lu samples %lu exit %lu\n", static_cast<unsigned long>(peak / 1024), samples,
                ExitCode(child));
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const bool time = argc >= 3 && std::wcscmp(argv[1], L"time") == 0;
    const bool memory = argc >= 3 && std::wcscmp(argv[1], L"memory") == 0;
    if (!time && !memory) {
        std::fputws(L"usage: bench_runner time|memory PROGRAM [ARGUMENT]...\n", stderr);
        return 1;
    }
    if (time) {
        MeasureTime(argc - 2, argv + 2);
    } else {
        MeasureMemory(argc - 2, argv + 2);
    }
    return 0;
}

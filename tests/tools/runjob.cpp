// runjob: starts a program with an exact command line inside a job object
// and waits until it and every process it started have ended, so that a
// caller knows a viewer that the program opened has finished, or was never
// started.
//
// Usage: runjob TIMEOUT_MS APPLICATION COMMAND_LINE [CURRENT_DIRECTORY]
//
// The last three are UTF-8 text written as hex digits ("-" for empty), so
// that no quoting between Wine's loader and this program can change them;
// COMMAND_LINE is handed to CreateProcessW unchanged, its first word (the
// program name the child sees as argv[0]) included. On success prints
// "exit-code N" with the program's exit code and returns 0. When the time
// is up, ends every process of the job and returns 2; other failures
// return 1. Messages go to standard error.
//
// With QX_RUNJOB_CTRL_C_AFTER_MS set, Ctrl+C reaches the program after that
// many milliseconds, as when a user presses it in the program's console;
// QX_RUNJOB_CTRL_C_PRESSES (default 1) presses it that many times in a row.
// Wine delivers no Ctrl+Break between processes, so Ctrl+C it is.
#include "tool_support.h"

#include <cwchar>

namespace {

constexpr const char* kTool = "runjob";
constexpr DWORD kPollMilliseconds = 2;
constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryPause = 100;

std::wstring HexArgument(const wchar_t* argument)
{
    const auto bytes = DecodeHex(ToUtf8(argument));
    if (!bytes) {
        Fail(kTool, "arguments after the timeout must be hex-encoded UTF-8");
    }
    return FromUtf8(std::string(bytes->begin(), bytes->end()));
}

DWORD NumberFromEnvironment(const wchar_t* name, DWORD otherwise)
{
    wchar_t value[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 32);
    return length == 0 || length >= 32 ? otherwise : static_cast<DWORD>(std::wcstoul(value, nullptr, 10));
}

BOOL WINAPI IgnoreCtrlC(DWORD event)
{
    return event == CTRL_C_EVENT;
}

// A console of this tool's own, which the program inherits and which then
// carries the event to it: the one Wine gives a program started without a
// terminal carries none.
void ShareANewConsole()
{
    ::FreeConsole();
    if (!::AllocConsole()) {
        Fail(kTool, ErrorText("AllocConsole", ::GetLastError()));
    }
}

// Ctrl+C to every process of the console, pressed as often as asked, unless
// the program ended before; this tool lets it pass.
void CtrlCAfter(HANDLE process, DWORD milliseconds, DWORD presses)
{
    if (::WaitForSingleObject(process, milliseconds) != WAIT_TIMEOUT) {
        return;
    }
    ::SetConsoleCtrlHandler(IgnoreCtrlC, TRUE);
    for (DWORD press = 0; press < presses; ++press) {
        if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
            Fail(kTool, ErrorText("GenerateConsoleCtrlEvent", ::GetLastError()));
        }
    }
}

DWORD ActiveProcesses(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr)) {
        Fail(kTool, ErrorText("QueryInformationJobObject", ::GetLastError()));
    }
    return info.ActiveProcesses;
}

[[noreturn]] void TimeOut(HANDLE job)
{
    ::TerminateJobObject(job, 1);
    std::fprintf(stderr, "%s: timed out; the job's processes were ended\n", kTool);
    std::fflush(stderr);
    std::exit(2);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 4 && argc != 5) {
        Fail(kTool, "usage: runjob TIMEOUT_MS APPLICATION COMMAND_LINE [CURRENT_DIRECTORY]");
    }
    const DWORD timeout = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const std::wstring application = HexArgument(argv[2]);
    std::wstring commandLine = HexArgument(argv[3]);
    const std::wstring directory = argc == 5 ? HexArgument(argv[4]) : std::wstring();

    const UniqueObjectHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        Fail(kTool, ErrorText("CreateJobObjectW", ::GetLastError()));
    }
    // Nothing of the run outlives this program, however it ends.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        Fail(kTool, ErrorText("SetInformationJobObject", ::GetLastError()));
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    commandLine.push_back(L'\0');
    const DWORD ctrlCAfter = NumberFromEnvironment(L"QX_RUNJOB_CTRL_C_AFTER_MS", 0);
    if (ctrlCAfter != 0) {
        ShareANewConsole();
    }
    // Under load, Wine now and then fails a process start with an internal
    // error before any code of the program has run: such a start is tried
    // again. A program that cannot start fails every time.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, directory.empty() ? nullptr : directory.c_str(), &startup, &started)) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) {
            Fail(kTool, ErrorText("CreateProcessW", error));
        }
        ::Sleep(kStartRetryPause);
    }
    const UniqueObjectHandle process(started.hProcess);
    const UniqueObjectHandle thread(started.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(process.get(), 1);
        Fail(kTool, ErrorText("AssignProcessToJobObject", error));
    }
    ::ResumeThread(thread.get());
    if (ctrlCAfter != 0) {
        CtrlCAfter(process.get(), ctrlCAfter, NumberFromEnvironment(L"QX_RUNJOB_CTRL_C_PRESSES", 1));
    }

    const ULONGLONG deadline = ::GetTickCount64() + timeout;
    if (::WaitForSingleObject(process.get(), timeout) != WAIT_OBJECT_0) {
        TimeOut(job.get());
    }
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.get(), &exitCode)) {
        Fail(kTool, ErrorText("GetExitCodeProcess", ::GetLastError()));
    }
    while (ActiveProcesses(job.get()) != 0) {
        if (::GetTickCount64() >= deadline) {
            TimeOut(job.get());
        }
        ::Sleep(kPollMilliseconds);
    }
    std::printf("exit-code %lu\n", static_cast<unsigned long>(exitCode));
    std::fflush(stdout);
    return 0;
}

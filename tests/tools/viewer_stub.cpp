// viewer_stub: stands in for notepad.exe in a test prefix. Each start
// leaves one numbered record (1, 2, ...) in the folder named by the
// environment variable QX_VIEWER_RECORD:
//
//   arguments.txt     the command line after the program name and the blanks
//                     that follow it, unparsed (UTF-8): a path handed over
//                     unquoted keeps its spaces, and quotes stay visible
//   command_line.txt  the whole command line (UTF-8)
//   program.txt       this program's own path, to tell which notepad.exe ran
//   created.txt       when this process was created, in 100-nanosecond units
//                     since 1601 (UTC): a file last written before then was
//                     complete when the viewer was started, however late the
//                     viewer got to reading it
//   file.bin          the bytes of the file that the arguments name, read
//                     at start; file_error.txt instead when it cannot be read
//   done              written last, so that a complete record is easy to tell
#include "tool_support.h"

namespace {

constexpr const char* kTool = "viewer_stub";
constexpr const wchar_t* kRecordVariable = L"QX_VIEWER_RECORD";

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// What follows the program name, found by the rules the C run-time uses for
// the program name: up to the closing quote when it starts with one,
// otherwise up to the first blank.
std::wstring ArgumentsOf(const wchar_t* commandLine)
{
    const wchar_t* position = commandLine;
    if (*position == L'"') {
        ++position;
        while (*position && *position != L'"') {
            ++position;
        }
        if (*position == L'"') {
            ++position;
        }
    } else {
        while (*position && !IsBlank(*position)) {
            ++position;
        }
    }
    while (IsBlank(*position)) {
        ++position;
    }
    return position;
}

std::wstring EnvironmentVariable(const wchar_t* name)
{
    const DWORD room = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (room == 0) {
        return std::wstring();
    }
    std::wstring value(room, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), room);
    value.resize(length < room ? length : 0);
    return value;
}

// This program's own path; a result that fills the buffer was cut.
std::wstring OwnPath()
{
    for (DWORD room = MAX_PATH; room <= 32768; room *= 2) {
        std::wstring path(room, L'\0');
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), room);
        if (length < room) {
            path.resize(length);
            return path;
        }
    }
    return std::wstring();
}

std::string CreationTime()
{
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        Fail(kTool, ErrorText("GetProcessTimes", ::GetLastError()));
    }
    const unsigned long long ticks =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return std::to_string(ticks);
}

// Claims the next free record number by creating its folder.
std::wstring NewRecordFolder(const std::wstring& base)
{
    if (!::CreateDirectoryW(base.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail(kTool, ErrorText("CreateDirectoryW on the record folder", ::GetLastError()));
    }
    for (unsigned number = 1; number < 100000; ++number) {
        const std::wstring folder = base + L"\\" + std::to_wstring(number);
        if (::CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder + L"\\";
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            Fail(kTool, ErrorText("CreateDirectoryW on a record", ::GetLastError()));
        }
    }
    Fail(kTool, "no free record number");
}

void Write(const std::wstring& path, const std::string& bytes)
{
    if (!WriteWholeFile(path, bytes)) {
        Fail(kTool, ErrorText("writing a record file", ::GetLastError()));
    }
}

} // namespace

int wmain()
{
    const wchar_t* commandLine = ::GetCommandLineW();
    const std::wstring arguments = ArgumentsOf(commandLine);
    // Read first: the record shows the file as the viewer would have found it.
    const std::optional<std::string> file = ReadWholeFile(arguments);
    const DWORD fileError = file ? 0 : ::GetLastError();

    std::wstring base = EnvironmentVariable(kRecordVariable);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) {
        base.pop_back();
    }
    if (base.empty()) {
        Fail(kTool, "QX_VIEWER_RECORD is not set");
    }
    const std::wstring record = NewRecordFolder(base);
    Write(record + L"arguments.txt", ToUtf8(arguments));
    Write(record + L"command_line.txt", ToUtf8(commandLine));
    Write(record + L"program.txt", ToUtf8(OwnPath()));
    Write(record + L"created.txt", CreationTime());
    if (file) {
        Write(record + L"file.bin", *file);
    } else {
        Write(record + L"file_error.txt", std::to_string(fileError));
    }
    Write(record + L"done", std::string());
    return 0;
}

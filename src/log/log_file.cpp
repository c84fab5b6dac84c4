// Where the log file goes, how text reaches it, and how it is shown.
#include "log/log_file.h"

#include "log/log_seams.h"
#include "support/module_path.h"
#include "support/system_function.h"
#include "support/unique_handle.h"

#include <shellapi.h>
#include <strsafe.h>

#include <cwchar>

namespace {

constexpr BYTE kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
// Characters the log file's name adds to its folder.
constexpr std::size_t kLogNameLength = 32;
// Probe names tried before the folder counts as not writable.
constexpr DWORD kProbeAttempts = 16;
// Another process, often a second run ending at the same moment, may hold
// the log file open briefly: a sharing violation is retried for about two
// seconds in all before the write gives up.
constexpr DWORD kOpenRetryPause = 50;
constexpr DWORD kOpenRetries = 40;
// UTF-16 code units converted to UTF-8 at a time; each takes at most 3 bytes.
constexpr std::size_t kUtf8ChunkUnits = 4096;

std::wstring LogFilePath(const std::wstring& folder, const SYSTEMTIME& time)
{
    // The name adds 32 characters to the folder.
    const std::size_t room = folder.size() + 64;
    std::wstring path(room, L'\0');
    ::StringCchPrintfW(path.data(), room, L"%sqx913hotfix2_%04d%02d%02d_%02d%02d%02d.log", folder.c_str(), time.wYear,
                       time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
    path.resize(path.find(L'\0'));
    return path;
}

std::wstring ProbePath(const std::wstring& folder, DWORD attempt)
{
    wchar_t name[MAX_PATH] = {};
    ::StringCchPrintfW(name, MAX_PATH, L"qxprobe_%08x_%u.tmp", ::GetCurrentProcessId(), attempt);
    return folder + name;
}

// Creates and at once deletes a file of a fresh name, so that no file
// already in the folder is replaced or left behind.
bool IsFolderWritable(const std::wstring& folder)
{
    for (DWORD attempt = 0; attempt < kProbeAttempts; ++attempt) {
        const UniqueFileHandle probe(::CreateFileW(ProbePath(folder, attempt).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                   nullptr, CREATE_NEW,
                                                   FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe) {
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

// The program declares no long-path support, so Windows cannot open a log
// path of MAX_PATH characters or more even where the probe succeeds.
bool LogPathFits(const std::wstring& folder)
{
    return folder.size() + kLogNameLength < MAX_PATH;
}

// The system's own temporary folder, for when the user's cannot be told.
std::wstring WindowsTempFolder()
{
    wchar_t windows[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return WithTrailingBackslash(windows) + L"Temp\\";
}

std::wstring TemporaryFolder()
{
    const DWORD room = ::GetTempPathW(0, nullptr);
    if (room != 0) {
        std::wstring folder(room, L'\0');
        const DWORD length = ::GetTempPathW(room, folder.data());
        if (length != 0 && length < room) {
            folder.resize(length);
            return WithTrailingBackslash(folder);
        }
    }
    return WindowsTempFolder();
}

} // namespace

std::wstring ChooseLogFilePath(const SYSTEMTIME& startTime)
{
    std::wstring folder = GetExecutableFolder();
    if (folder.empty() || !LogPathFits(folder) || !IsFolderWritable(folder)) {
        folder = TemporaryFolder();
    }
    return folder.empty() ? std::wstring() : LogFilePath(folder, startTime);
}

namespace {

bool WriteAll(HANDLE file, const void* bytes, DWORD size) noexcept
{
    DWORD written = 0;
    return WriteLogBytes(file, bytes, size, &written) && written == size;
}

// Converts and writes the text piece by piece through a fixed buffer, so
// that no write of the log, the last one at exit included, needs memory of
// its own: running out of memory cannot cost the run its log.
bool WriteAsUtf8(HANDLE file, const wchar_t* text) noexcept
{
    char bytes[kUtf8ChunkUnits * 3];
    for (std::size_t remaining = std::wcslen(text); remaining != 0;) {
        std::size_t units = remaining < kUtf8ChunkUnits ? remaining : kUtf8ChunkUnits;
        if (units < remaining && IS_HIGH_SURROGATE(text[units - 1])) {
            --units; // a surrogate pair is converted whole
        }
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), bytes,
                                               static_cast<int>(sizeof(bytes)), nullptr, nullptr);
        if (!WriteAll(file, bytes, static_cast<DWORD>(size))) {
            return false;
        }
        text += units;
        remaining -= units;
    }
    return true;
}

UniqueFileHandle OpenForAppending(const std::wstring& path, DWORD retries) noexcept
{
    for (DWORD retry = 0;; ++retry) {
        // Readers (a log viewer, a tail) may watch the file while the run
        // goes on; other writers, such as a second run, are kept out.
        UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION || retry == retries) {
            return file;
        }
        ::Sleep(kOpenRetryPause);
    }
}

// Cuts the file back to its length before a write that failed part-way.
bool TruncateTo(HANDLE file, LARGE_INTEGER length) noexcept
{
    return ::SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && CutLogFile(file);
}

} // namespace

bool LogFile::Append(const wchar_t* text) noexcept
{
    if (!text || !*text || closedForTheRun_) {
        return false;
    }
    const UniqueFileHandle file = OpenForAppending(path_, sharingWaitFailed_ ? 0 : kOpenRetries);
    if (!file) {
        // Once waiting for another process to let go of the file has not
        // helped, later writes try once: a file held for the whole run would
        // otherwise cost the wait at every write.
        sharingWaitFailed_ = sharingWaitFailed_ || ::GetLastError() == ERROR_SHARING_VIOLATION;
        return false;
    }
    LARGE_INTEGER length = {};
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &length, FILE_END)) {
        return false;
    }
    const bool written = (length.QuadPart != 0 || WriteAll(file.get(), kByteOrderMark, sizeof(kByteOrderMark)))
                         && WriteAsUtf8(file.get(), text);
    // The file holds whole writes only: a failed text is sent again later,
    // which must not leave a cut copy in front of the whole one. A cut that
    // cannot be undone stays the file's last text instead.
    if (!written && !TruncateTo(file.get(), length)) {
        closedForTheRun_ = true;
    }
    return written;
}

namespace {

// A file of the system folder by its full path; false when it does not fit.
// Needs no memory, so that showing the log cannot fail the run.
bool SystemFilePath(const wchar_t* backslashAndName, wchar_t (&path)[MAX_PATH])
{
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    return length != 0 && length < MAX_PATH && SUCCEEDED(::StringCchCatW(path, MAX_PATH, backslashAndName));
}

} // namespace

void OpenInNotepad(const std::wstring& path) noexcept
{
    // Notepad and the shell from the system folder by their full paths: an
    // elevated program must not start a notepad.exe or load a shell32.dll
    // planted in the current directory or beside it.
    wchar_t notepad[MAX_PATH] = {};
    wchar_t shell[MAX_PATH] = {};
    if (!SystemFilePath(L"\\notepad.exe", notepad) || !SystemFilePath(L"\\shell32.dll", shell)) {
        return;
    }
    const auto shellExecute = LoadSystemFunction<decltype(&::ShellExecuteW)>(shell, "ShellExecuteW");
    if (shellExecute) {
        shellExecute(nullptr, L"open", notepad, path.c_str(), nullptr, SW_SHOWNORMAL);
    }
}

// Where the log file goes, how text reaches it, and how it is shown.
#include "log/debug_log_internal.h"

#include "support/module_path.h"
#include "support/unique_handle.h"

#include <shellapi.h>
#include <strsafe.h>

#include <new>

namespace {

constexpr BYTE kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
// Probe names tried before the folder counts as not writable.
constexpr DWORD kProbeAttempts = 16;
// Another process, often a second run ending at the same moment, may hold
// the log file open briefly: a sharing violation is retried for about two
// seconds in all before the write gives up.
constexpr DWORD kOpenRetryPause = 50;
constexpr DWORD kOpenRetries = 40;

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

std::wstring WithTrailingBackslash(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\') {
        folder.push_back(L'\\');
    }
    return folder;
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

void DebugLogChooseFile(CQXDebugLog& log)
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    std::wstring folder = GetExecutableFolder();
    if (folder.empty() || !IsFolderWritable(folder)) {
        folder = TemporaryFolder();
    }
    log.logPath_ = folder.empty() ? std::wstring() : LogFilePath(folder, now);
}

namespace {

UniqueFileHandle OpenForAppending(const std::wstring& path)
{
    for (DWORD retry = 0;; ++retry) {
        UniqueFileHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION || retry == kOpenRetries) {
            return file;
        }
        ::Sleep(kOpenRetryPause);
    }
}

} // namespace

std::string ConvertToUtf8(const wchar_t* text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string bytes(static_cast<std::size_t>(size) + 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size + 1, nullptr, nullptr);
    bytes.resize(bytes.find('\0'));
    return bytes;
}

int CQXDebugLog::WriteToFile(const wchar_t* text)
{
    if (!text || !*text) {
        return 0;
    }
    const UniqueFileHandle file = OpenForAppending(logPath_);
    if (!file) {
        return 0;
    }
    DWORD sizeHigh = 0;
    const DWORD sizeLow = ::GetFileSize(file.get(), &sizeHigh);
    DWORD written = 0;
    if (sizeLow == 0 && sizeHigh == 0
        && !::WriteFile(file.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
        return 0;
    }
    ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
    const std::string bytes = ConvertToUtf8(text);
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ? 1 : 0;
}

namespace {

// Notepad from the system folder by its full path: an elevated program must
// not start a notepad.exe planted in the current directory.
bool SystemNotepadPath(wchar_t (&path)[MAX_PATH])
{
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    return length != 0 && length < MAX_PATH && SUCCEEDED(::StringCchCatW(path, MAX_PATH, L"\\notepad.exe"));
}

// The viewer should find the whole run in the file.
void FlushBeforeViewer(CQXDebugLog& log, CRITICAL_SECTION& lock)
{
    const CriticalSectionLock hold(lock);
    try {
        log.Flush();
    } catch (const std::bad_alloc&) {
        // The lines stay buffered for the final write at exit.
    }
}

} // namespace

void ShowDebugLog(CQXDebugLog& log)
{
    DebugLogStart(log);
    if (!log.enabled_) {
        return;
    }
    FlushBeforeViewer(log, log.lock_);
    wchar_t notepad[MAX_PATH] = {};
    if (SystemNotepadPath(notepad)) {
        ::ShellExecuteW(nullptr, L"open", notepad, log.logPath_.c_str(), nullptr, SW_SHOWNORMAL);
    }
}

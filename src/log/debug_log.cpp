#include "log/debug_log.h"
#include "log/debug_log_internal.h"

#include "support/module_path.h"
#include "support/unique_handle.h"

#include <strsafe.h>

#include <algorithm>
#include <cwchar>

namespace {

// Longest formatted message, in UTF-16 code units.
constexpr std::size_t kMessageLimit = 10240;
constexpr wchar_t kReplacementCharacter = L'\xFFFD';
// Room for the user name, terminator included.
constexpr DWORD kUserNameRoom = 40;

CQXDebugLog theLog;

// Sets the started flag when the start ends, however it ends, so that the
// start is tried once and the flag is only seen set after the buffer and
// the log path are in place.
class StartedOnExit {
  public:
    explicit StartedOnExit(std::atomic<std::int32_t>& started) noexcept : started_(started) {}
    ~StartedOnExit() { started_.store(1, std::memory_order_release); }
    StartedOnExit(const StartedOnExit&) = delete;
    StartedOnExit& operator=(const StartedOnExit&) = delete;

  private:
    std::atomic<std::int32_t>& started_;
};

std::wstring LinePrefix(const SYSTEMTIME& time)
{
    wchar_t prefix[MAX_PATH] = {};
    ::StringCchPrintfW(prefix, MAX_PATH, L"%04d/%02d/%02d %02d:%02d:%02d,%03d,", time.wYear, time.wMonth, time.wDay,
                       time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return prefix;
}

// Each entry stays one line of the file: a line break inside its text,
// which only hostile data such as a registry value can hold, would start a
// line that the run never wrote.
void MaskLineBreaks(std::wstring& line, std::size_t from)
{
    for (std::size_t index = from; index < line.size(); ++index) {
        if (line[index] == L'\r' || line[index] == L'\n') {
            line[index] = kReplacementCharacter;
        }
    }
}

std::wstring UserName()
{
    wchar_t name[kUserNameRoom] = {};
    DWORD room = kUserNameRoom;
    if (!::GetUserNameW(name, &room)) {
        return std::wstring();
    }
    return name;
}

} // namespace

CQXDebugLog::CQXDebugLog() noexcept
{
    ::InitializeCriticalSection(&lock_);
}

CQXDebugLog::~CQXDebugLog()
{
    if (buffer_ && bufferedLength_ != 0) {
        WriteToFile(buffer_.get());
    }
    ::DeleteCriticalSection(&lock_);
}

void CQXDebugLog::AppendToBuffer(const wchar_t* line, std::uint32_t length) noexcept
{
    std::wmemcpy(buffer_.get() + bufferedLength_, line, length);
    bufferedLength_ += length;
}

int CQXDebugLog::Flush() noexcept
{
    if (!buffer_) {
        return 0;
    }
    if (bufferedLength_ == 0) {
        return 1;
    }
    const int written = WriteToFile(buffer_.get());
    if (!written) {
        return 0;
    }
    std::fill_n(buffer_.get(), bufferedLength_, L'\0');
    bufferedLength_ = 0;
    return written;
}

void DebugLogStart(CQXDebugLog& log)
{
    if (log.started_.load(std::memory_order_acquire)) {
        return;
    }
    const CriticalSectionLock hold(log.lock_);
    if (log.started_.load(std::memory_order_relaxed)) {
        return;
    }
    const StartedOnExit markStarted(log.started_);
    log.enabled_ = 1;
    DebugLogAllocBuffer(log);
    DebugLogChooseFile(log);
}

int DebugLogAllocBuffer(CQXDebugLog& log)
{
    if (!log.enabled_) {
        return 0;
    }
    log.buffer_ = std::make_unique<wchar_t[]>(CQXDebugLog::kCapacity);
    log.capacity_ = CQXDebugLog::kCapacity;
    return 1;
}

int DebugLogPrintf(const wchar_t* format, ...)
{
    va_list args; // NOLINT(cppcoreguidelines-init-variables): va_start sets it
    va_start(args, format);
    int recorded = 0;
    try {
        recorded = DebugLogVPrintf(theLog, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return recorded;
}

int DebugLogVPrintf(CQXDebugLog& log, const wchar_t* format, va_list args)
{
    DebugLogStart(log);
    if (!log.enabled_) {
        return 0;
    }
    // Left unfilled: zeroing 20 KB per entry cost as much as the rest of
    // the entry, and StringCchVPrintfW ends the text within the buffer
    // whatever it writes, a message cut at the limit included.
    const std::unique_ptr<wchar_t[]> message(new wchar_t[kMessageLimit + 1]);
    ::StringCchVPrintfW(message.get(), kMessageLimit + 1, format, args);
    return DebugLogWrite(log, message.get());
}

int DebugLogWrite(CQXDebugLog& log, const wchar_t* text)
{
    DebugLogStart(log);
    if (!log.enabled_) {
        return 1;
    }
    if (!text || !*text) {
        return 0;
    }
    const CriticalSectionLock hold(log.lock_);
    if (log.entryCount_ <= 0) {
        DebugLogWriteInitialInfo(log);
    }
    ++log.entryCount_;
    return DebugLogWriteLine(log, text);
}

int DebugLogWriteInitialInfo(CQXDebugLog& log)
{
    const std::wstring info = L"#InitialInfo," + GetExecutablePath() + L"," + UserName();
    return DebugLogWriteLine(log, info.c_str());
}

int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text)
{
    if (!text || !*text) {
        return 0;
    }
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    std::wstring line = LinePrefix(now);
    const std::size_t textStart = line.size();
    line.append(text);
    MaskLineBreaks(line, textStart);
    line.append(L"\r\n");
    return DebugLogAppend(log, line.c_str());
}

int DebugLogAppend(CQXDebugLog& log, const wchar_t* line)
{
    if (!line) {
        return 0;
    }
    if (!log.buffer_) {
        return log.WriteToFile(line);
    }
    const std::size_t length = std::wcslen(line);
    const std::size_t fullest = log.capacity_ - 1;
    if (log.bufferedLength_ + length < fullest) {
        log.AppendToBuffer(line, static_cast<std::uint32_t>(length));
        return 1;
    }
    if (!log.Flush()) {
        return 0;
    }
    if (length <= fullest) {
        log.AppendToBuffer(line, static_cast<std::uint32_t>(length));
        return 1;
    }
    return log.WriteToFile(line);
}

void ShowDebugLog()
{
    ShowDebugLog(theLog);
}

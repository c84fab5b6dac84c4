#include "log/debug_log.h"
#include "log/debug_log_internal.h"

#include "support/module_path.h"
#include "support/unique_handle.h"

#include <strsafe.h>

#include <cwchar>

namespace {

// Longest formatted message, in UTF-16 code units.
constexpr std::size_t kMessageLimit = 10240;
constexpr wchar_t kReplacementCharacter = L'\xFFFD';
// Room for the user name, terminator included.
constexpr DWORD kUserNameRoom = 40;

// The program's log is never destroyed: a control handler may still write
// to it while the process exits, and the log is closed at the end of wmain.
union NeverDestroyed {
    NeverDestroyed() noexcept : log() {}
    ~NeverDestroyed() {}
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    CQXDebugLog log;
};

NeverDestroyed processLog;
CQXDebugLog& theLog = processLog.log;

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

// Writes value in decimal, zero-padded to at least `digits` digits as
// "%0Nd" does; returns the position after the last digit.
wchar_t* PutDecimal(wchar_t* at, unsigned int value, int digits)
{
    wchar_t reversed[10] = {};
    int count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < digits) {
        reversed[count++] = L'0';
    }
    while (count > 0) {
        *at++ = reversed[--count];
    }
    return at;
}

wchar_t* PutCharacter(wchar_t* at, wchar_t character)
{
    *at = character;
    return at + 1;
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
    // The timer's callback takes the lock: it must have ended first.
    timer_.Stop();
    if (!closed_) {
        FlushAndClose();
    }
    ::DeleteCriticalSection(&lock_);
}

void CQXDebugLog::AppendToBuffer(const wchar_t* line, std::uint32_t length) noexcept
{
    if (bufferedLength_ == 0) {
        flushDue_ = ::GetTickCount64() + kLongestLineWait;
        timer_.Arm(static_cast<DWORD>(kLongestLineWait));
    }
    std::wmemcpy(buffer_.get() + bufferedLength_, line, length);
    bufferedLength_ += length;
    buffer_[bufferedLength_] = L'\0';
}

void CQXDebugLog::FlushWhenDue() noexcept
{
    if (::GetTickCount64() >= flushDue_) {
        FlushOrPostpone();
    }
}

void CQXDebugLog::FlushOrPostpone() noexcept
{
    if (!Flush()) {
        // Counted from the end of the failed write: one that took seconds
        // to fail (the sharing wait, a share that timed out) is not tried
        // again at once, with the lock held all the while.
        flushDue_ = ::GetTickCount64() + kLongestLineWait;
        timer_.Arm(static_cast<DWORD>(kLongestLineWait));
    }
}

void CQXDebugLog::OnFlushTimer(void* self) noexcept
{
    CQXDebugLog& log = *static_cast<CQXDebugLog*>(self);
    const CriticalSectionLock hold(log.lock_);
    if (log.closed_ || log.bufferedLength_ == 0) {
        return;
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now < log.flushDue_) {
        log.timer_.Arm(static_cast<DWORD>(log.flushDue_ - now));
        return;
    }
    log.FlushOrPostpone();
}

void CQXDebugLog::FlushAndClose() noexcept
{
    // The last chance for the run's lines: worth waiting for again.
    file_.WaitAgainForHeldFile();
    Flush();
    closed_ = true;
}

int CQXDebugLog::WriteToFile(const wchar_t* text) noexcept
{
    return file_.Append(text) ? 1 : 0;
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
    buffer_[0] = L'\0';
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
    // Without the thread, lines still go out with a later entry or at the end.
    log.timer_.Start(CQXDebugLog::OnFlushTimer, &log);
}

int DebugLogAllocBuffer(CQXDebugLog& log)
{
    if (!log.enabled_) {
        return 0;
    }
    // Not filled: the buffered text is kept terminated, so only the part in
    // use is ever touched.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,modernize-make-unique): make_unique would fill it
    log.buffer_.reset(new wchar_t[CQXDebugLog::kCapacity]);
    log.buffer_[0] = L'\0';
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
    // Left unfilled: StringCchVPrintfW ends the text within the buffer
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
    if (log.closed_) {
        return 0;
    }
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

std::size_t FormatLinePrefix(const SYSTEMTIME& time, wchar_t (&prefix)[kLinePrefixRoom])
{
    wchar_t* at = PutDecimal(prefix, time.wYear, 4);
    at = PutDecimal(PutCharacter(at, L'/'), time.wMonth, 2);
    at = PutDecimal(PutCharacter(at, L'/'), time.wDay, 2);
    at = PutDecimal(PutCharacter(at, L' '), time.wHour, 2);
    at = PutDecimal(PutCharacter(at, L':'), time.wMinute, 2);
    at = PutDecimal(PutCharacter(at, L':'), time.wSecond, 2);
    at = PutDecimal(PutCharacter(at, L','), time.wMilliseconds, 3);
    at = PutCharacter(at, L',');
    *at = L'\0';
    return static_cast<std::size_t>(at - prefix);
}

int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text)
{
    if (!text || !*text) {
        return 0;
    }
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t prefix[kLinePrefixRoom] = {};
    // The log's own line string, reused so that an entry need not allocate.
    std::wstring& line = log.line_;
    line.assign(prefix, FormatLinePrefix(now, prefix));
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
        log.FlushWhenDue();
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

void DebugLogChooseFile(CQXDebugLog& log)
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    log.file_ = LogFile(ChooseLogFilePath(now));
}

void DebugLogFlush(CQXDebugLog& log) noexcept
{
    const CriticalSectionLock hold(log.lock_);
    log.file_.WaitAgainForHeldFile();
    log.Flush();
}

void DebugLogWriteLast(CQXDebugLog& log, const wchar_t* text) noexcept
{
    // One hold of the lock (a critical section may be entered again by its
    // owner) from the entry to the close: no other entry, from the run or
    // from a second interruption, can come between or after.
    const CriticalSectionLock hold(log.lock_);
    if (log.closed_) {
        return;
    }
    try {
        DebugLogWrite(log, text);
    } catch (...) {
        // Out of memory: what is buffered still goes out.
    }
    log.FlushAndClose();
}

void DebugLogClose(CQXDebugLog& log) noexcept
{
    if (log.started_.load(std::memory_order_acquire)) {
        // Outside the lock: the timer's callback takes it.
        log.timer_.Stop();
    }
    const CriticalSectionLock hold(log.lock_);
    if (!log.closed_) {
        log.FlushAndClose();
    }
}

void ShowDebugLog(CQXDebugLog& log)
{
    DebugLogStart(log);
    if (!log.enabled_) {
        return;
    }
    // The viewer should find the whole run in the file.
    DebugLogFlush(log);
    OpenInNotepad(log.LogPath());
}

CQXDebugLog& ProcessDebugLog() noexcept
{
    return theLog;
}

void DebugLogFlush() noexcept
{
    DebugLogFlush(theLog);
}

void DebugLogWriteLast(const wchar_t* text) noexcept
{
    DebugLogWriteLast(theLog, text);
}

void DebugLogClose() noexcept
{
    DebugLogClose(theLog);
}

void ShowDebugLog()
{
    ShowDebugLog(theLog);
}

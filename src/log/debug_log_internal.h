#pragma once

#include "log/flush_timer.h"
#include "log/log_file.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

// The diagnostic log: a line buffer in front of the log file. The program
// has one, with static storage that is never destroyed, so that a control
// handler or the flush timer can never reach a destroyed log; tests make
// their own.
class CQXDebugLog {
  public:
    // Line buffer size in UTF-16 code units (1 MiB).
    static constexpr std::uint32_t kCapacity = 0x80000;
    // How long a line may wait in the buffer before the flush timer, or the
    // next entry, writes it, so that a run ended from outside still leaves
    // its lines; also the pause after a failed write before the next try.
    static constexpr ULONGLONG kLongestLineWait = 1000;

    CQXDebugLog() noexcept;
    // Stops the flush timer, then writes what is still buffered; text that
    // cannot be written is lost.
    virtual ~CQXDebugLog();
    CQXDebugLog(const CQXDebugLog&) = delete;
    CQXDebugLog& operator=(const CQXDebugLog&) = delete;

    // Writes the buffered text and empties the buffer; on failure the text
    // stays buffered and 0 is returned.
    int Flush() noexcept;

    // Appends text to the log file; nonzero on success (LogFile::Append).
    int WriteToFile(const wchar_t* text) noexcept;

    // The file chosen at the lazy start; empty before it.
    const std::wstring& LogPath() const noexcept { return file_.Path(); }

  private:
    friend void DebugLogStart(CQXDebugLog& log);
    friend int DebugLogAllocBuffer(CQXDebugLog& log);
    friend void DebugLogChooseFile(CQXDebugLog& log);
    friend int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text);
    friend int DebugLogVPrintf(CQXDebugLog& log, const wchar_t* format, va_list args);
    friend int DebugLogWrite(CQXDebugLog& log, const wchar_t* text);
    friend int DebugLogAppend(CQXDebugLog& log, const wchar_t* line);
    friend void DebugLogFlush(CQXDebugLog& log) noexcept;
    friend void DebugLogWriteLast(CQXDebugLog& log, const wchar_t* text) noexcept;
    friend void DebugLogClose(CQXDebugLog& log) noexcept;
    friend void ShowDebugLog(CQXDebugLog& log);

    // Puts the line behind the buffered text and terminates it; the caller
    // has checked that at most capacity - 1 units are then buffered.
    void AppendToBuffer(const wchar_t* line, std::uint32_t length) noexcept;
    // Writes the buffer once its oldest line has waited long enough.
    void FlushWhenDue() noexcept;
    // Writes the buffer; after a failed write, the next try is due a full
    // wait after that write ended, however long it took to fail.
    void FlushOrPostpone() noexcept;
    // The flush timer's callback: writes the buffer when due, or sets the
    // timer again for when it will be.
    static void OnFlushTimer(void* self) noexcept;
    // The last write of the log: waits again for a file held by another
    // process, then takes no more entries. The caller holds the lock.
    void FlushAndClose() noexcept;

    std::atomic<std::int32_t> started_{0};
    CRITICAL_SECTION lock_{};
    std::int32_t enabled_ = 0;
    LogFile file_;
    std::int64_t entryCount_ = 0;
    std::unique_ptr<wchar_t[]> buffer_;
    // Where each line is put together, kept from one entry to the next.
    std::wstring line_;
    std::uint32_t capacity_ = 0;
    // Length of the buffered text, kept so that appending needs no scan.
    std::uint32_t bufferedLength_ = 0;
    // When the buffered text is next to be written (GetTickCount64).
    ULONGLONG flushDue_ = 0;
    // Set by the log's last write: nothing follows it.
    bool closed_ = false;
    FlushTimer timer_;
};

// The lazy start: allocates the line buffer and fixes the file name, once.
void DebugLogStart(CQXDebugLog& log);
int DebugLogAllocBuffer(CQXDebugLog& log);
void DebugLogChooseFile(CQXDebugLog& log);

int DebugLogVPrintf(CQXDebugLog& log, const wchar_t* format, va_list args);
// One entry; the first of the process is preceded by the initial-information line.
int DebugLogWrite(CQXDebugLog& log, const wchar_t* text);
int DebugLogWriteInitialInfo(CQXDebugLog& log);
// Room for the line prefix, terminator included, whatever the time's fields hold.
constexpr std::size_t kLinePrefixRoom = 48;
// Writes the prefix "%04d/%02d/%02d %02d:%02d:%02d,%03d," of a line without
// the general formatter, which is the slow part of an entry; returns its length.
std::size_t FormatLinePrefix(const SYSTEMTIME& time, wchar_t (&prefix)[kLinePrefixRoom]);
// Prefixes the local time, appends CR LF and hands the line on.
int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text);
// Buffers a finished line, flushing first when it does not fit.
int DebugLogAppend(CQXDebugLog& log, const wchar_t* line);
void DebugLogFlush(CQXDebugLog& log) noexcept;
void DebugLogWriteLast(CQXDebugLog& log, const wchar_t* text) noexcept;
void DebugLogClose(CQXDebugLog& log) noexcept;
void ShowDebugLog(CQXDebugLog& log);

// The program's one log, for tests of code that writes to it.
CQXDebugLog& ProcessDebugLog() noexcept;

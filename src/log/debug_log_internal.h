#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

// The diagnostic log: a line buffer in front of a UTF-8 file that is opened,
// appended to and closed again for every write. The program has one, with
// static storage; tests make their own.
class CQXDebugLog {
  public:
    // Line buffer size in UTF-16 code units (1 MiB).
    static constexpr std::uint32_t kCapacity = 0x80000;

    CQXDebugLog() noexcept;
    // Writes what is still buffered; text that cannot be written is lost.
    virtual ~CQXDebugLog();
    CQXDebugLog(const CQXDebugLog&) = delete;
    CQXDebugLog& operator=(const CQXDebugLog&) = delete;

    // Writes the buffered text and empties the buffer; on failure the text
    // stays buffered and 0 is returned.
    int Flush() noexcept;

    // Appends text to the log file as UTF-8, behind a byte-order mark when
    // the file is empty. Returns nonzero on success; a failed write leaves
    // the file as it was. Waits about two seconds for a file that another
    // process holds, until such a wait has failed once. Needs no memory.
    int WriteToFile(const wchar_t* text) noexcept;

    // The file chosen at the lazy start; empty before it.
    const std::wstring& LogPath() const noexcept { return logPath_; }

  private:
    friend void DebugLogStart(CQXDebugLog& log);
    friend int DebugLogAllocBuffer(CQXDebugLog& log);
    friend void DebugLogChooseFile(CQXDebugLog& log);
    friend int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text);
    friend int DebugLogVPrintf(CQXDebugLog& log, const wchar_t* format, va_list args);
    friend int DebugLogWrite(CQXDebugLog& log, const wchar_t* text);
    friend int DebugLogAppend(CQXDebugLog& log, const wchar_t* line);
    friend void ShowDebugLog(CQXDebugLog& log);

    // Puts the line behind the buffered text and terminates it; the caller
    // has checked that at most capacity - 1 units are then buffered.
    void AppendToBuffer(const wchar_t* line, std::uint32_t length) noexcept;

    std::atomic<std::int32_t> started_{0};
    CRITICAL_SECTION lock_{};
    std::int32_t enabled_ = 0;
    std::wstring logPath_;
    std::int64_t entryCount_ = 0;
    std::unique_ptr<wchar_t[]> buffer_;
    // Where each line is put together, kept from one entry to the next.
    std::wstring line_;
    std::uint32_t capacity_ = 0;
    // Length of the buffered text, kept so that appending needs no scan.
    std::uint32_t bufferedLength_ = 0;
    // Set when a write waited in vain for another process to let go of the
    // file; later writes of the run then do not wait.
    bool sharingWaitFailed_ = false;
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
// the formatter, which costs more than the rest of an entry; returns its length.
std::size_t FormatLinePrefix(const SYSTEMTIME& time, wchar_t (&prefix)[kLinePrefixRoom]);
// Prefixes the local time, appends CR LF and hands the line on.
int DebugLogWriteLine(CQXDebugLog& log, const wchar_t* text);
// Buffers a finished line, flushing first when it does not fit.
int DebugLogAppend(CQXDebugLog& log, const wchar_t* line);
void ShowDebugLog(CQXDebugLog& log);

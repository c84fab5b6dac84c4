#pragma once

// The process-wide diagnostic log. Both calls start the log on first use.

// Writes one time-stamped entry. "%s" takes a wide string, "%d" a signed
// 32-bit integer, "%08x" an unsigned one; the message is cut after 10,240
// code units. Returns nonzero when the entry was recorded. Raises only
// std::bad_alloc.
int DebugLogPrintf(const wchar_t* format, ...);

// Writes the buffered entries to the log file and opens it in Notepad.
// Raises std::bad_alloc only when it is the log's very first call.
void ShowDebugLog();

// Writes the buffered entries to the log file now, so that they outlast a
// process ended from outside; for before a wait that can last long, or
// before another run may write the same file. Waits again for a file that
// another process holds, as the last write does.
void DebugLogFlush() noexcept;

// Writes one last entry and every buffered one, then takes no more
// entries: for a run that is being ended from outside while it still logs.
// All of it under one hold of the log's lock, so nothing comes between;
// a second call adds nothing.
void DebugLogWriteLast(const wchar_t* text) noexcept;

// The log's end, when the run returns: stops the flush timer, writes what
// is buffered and takes no more entries.
void DebugLogClose() noexcept;

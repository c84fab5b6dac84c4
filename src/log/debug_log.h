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
// process ended from outside; for before a wait that can last long.
void DebugLogFlush() noexcept;

// Writes one last entry and every buffered one, then takes no more
// entries: for a run that is being ended from outside while it still logs.
void DebugLogWriteLast(const wchar_t* text) noexcept;

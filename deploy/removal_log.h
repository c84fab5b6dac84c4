#pragma once

#include "log/log_file.h"

#include <string>

// The log of a removal, in the exe's line format: a byte-order mark, then
// "YYYY/MM/DD hh:mm:ss,mmm,<entry>" lines with CR LF, the first naming the
// program and the user as the exe's "#InitialInfo" line does. Each entry
// goes to the file at once.
class RemovalLog {
  public:
    // A log in folder (with its backslash) named for the current time;
    // without a folder, entries go nowhere.
    explicit RemovalLog(const std::wstring& folder);

    // Writes one entry; the first is preceded by the initial line.
    void Write(const std::wstring& entry);

    // "%s" for a path and "%08x" for an error code, as the exe writes them.
    void WriteError(const wchar_t* call, DWORD error);

    const std::wstring& Path() const { return file_.Path(); }

  private:
    void WriteLine(const std::wstring& text);

    std::wstring name_;
    LogFile file_;
    bool started_ = false;
};

// "[info]: <call>, "<path>", result , <1 or 0>, ", as the exe logs a copy.
std::wstring ResultEntry(const wchar_t* call, const std::wstring& path, bool succeeded);

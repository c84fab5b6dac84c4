#pragma once

#include "log/debug_log.h"
#include "log/debug_log_internal.h"
#include "test_files.h"

#include <string>
#include <utility>
#include <vector>

// What the code under test wrote to the program's own log: the entries'
// texts without their time prefixes, after the log's buffer was written.
// The line that opens the log is left out: it comes with whichever entry is
// first, so a test run on its own would count it.
inline std::vector<std::string> ProcessLogEntries()
{
    DebugLogFlush();
    const std::string text = ReadFileBytes(ProcessDebugLog().LogPath());
    constexpr std::size_t kBomLength = 3;
    constexpr std::size_t kPrefixLength = 24;
    std::vector<std::string> entries;
    for (std::size_t start = kBomLength, end = 0; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        std::string entry = text.substr(start + kPrefixLength, end - start - kPrefixLength);
        if (entry.rfind("#InitialInfo,", 0) != 0) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

// The last entry in the program's own log; empty when there is none.
inline std::string LastProcessLogEntry()
{
    const std::vector<std::string> entries = ProcessLogEntries();
    return entries.empty() ? std::string() : entries.back();
}

// Sets an environment variable for as long as the object lives; the fault
// seams that the unit tests link read theirs at every call.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name)
    {
        ::SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { ::SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const wchar_t* name_;
};

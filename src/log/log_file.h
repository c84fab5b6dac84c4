#pragma once

#include <windows.h>

#include <string>

// The log file: text appended as UTF-8, behind a byte-order mark when the
// file is empty. Every write opens the file, shared with readers only,
// appends and closes it again. It knows nothing of the lines buffered in front of it.
class LogFile {
  public:
    LogFile() = default;
    explicit LogFile(const std::wstring& path) : path_(path) {}

    // Empty when no folder for the file could be told.
    const std::wstring& Path() const noexcept { return path_; }

    // Appends the text; true when all of it reached the file. A failed
    // write is cut back off the file; if even that fails, the file takes
    // no more writes in this run, so that no text ever reaches it twice.
    // Waits about two seconds for a file that another process holds, until
    // such a wait has failed once. Needs no memory.
    bool Append(const wchar_t* text) noexcept;

    // The next write waits for a held file again: for the run's last write.
    void WaitAgainForHeldFile() noexcept { sharingWaitFailed_ = false; }

  private:
    std::wstring path_;
    bool sharingWaitFailed_ = false;
    bool closedForTheRun_ = false;
};

// The log file's path for a log started at the given local time: beside
// the executable when its folder takes a new file, otherwise in the
// temporary folder; empty when neither folder can be told.
std::wstring ChooseLogFilePath(const SYSTEMTIME& startTime);

// Opens the file in Notepad from the system folder, without waiting.
void OpenInNotepad(const std::wstring& path) noexcept;

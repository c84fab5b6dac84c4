#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Standard output taken as bytes: written with WriteFile, without any
// code-page conversion, so that redirected output is exactly what was
// written. Collected into large writes; what is pending goes out at the
// latest when the object ends.
class StandardOutput {
  public:
    StandardOutput() noexcept;
    ~StandardOutput();
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    void Write(std::string_view bytes);
    void Flush() noexcept;

  private:
    HANDLE handle_; // the process's, not closed here
    std::string pending_;
};

// One line on standard error: as UTF-16 to a console, which shows any
// character, and as UTF-8 when redirected.
void PrintError(const std::wstring& message) noexcept;

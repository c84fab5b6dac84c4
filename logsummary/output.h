#pragma once

#include "support/standard_error.h"

#include <windows.h>

#include <string>
#include <string_view>

// Standard output taken as bytes: written with WriteFile, without any
// code-page conversion, so that redirected output is exactly what was
// written. Collected into large writes; what is pending goes out at the
// latest when the object ends. After a write fails, the rest is dropped and
// WriteError() tells why.
class StandardOutput {
  public:
    StandardOutput() noexcept;
    ~StandardOutput();
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    void Write(std::string_view bytes);
    void Flush() noexcept;
    // ERROR_SUCCESS while every byte given so far and flushed went out.
    DWORD WriteError() const noexcept { return writeError_; }

  private:
    HANDLE handle_; // the process's, not closed here
    std::string pending_;
    DWORD writeError_ = ERROR_SUCCESS;
};

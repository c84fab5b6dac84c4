#include "output.h"

#include "windows_text.h"

#include <algorithm>

namespace {

constexpr std::size_t kWriteSize = 64 * 1024;

// Writes every byte, as WriteFile may take fewer than given; the error
// that stopped it, or ERROR_SUCCESS.
DWORD WriteAll(HANDLE handle, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kWriteSize));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), wanted, &written, nullptr)) {
            return ::GetLastError();
        }
        if (written == 0) {
            return ERROR_WRITE_FAULT;
        }
        bytes.remove_prefix(written);
    }
    return ERROR_SUCCESS;
}

} // namespace

StandardOutput::StandardOutput() noexcept : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {}

StandardOutput::~StandardOutput()
{
    Flush();
}

void StandardOutput::Write(std::string_view bytes)
{
    if (writeError_ != ERROR_SUCCESS) {
        return;
    }
    pending_ += bytes;
    if (pending_.size() >= kWriteSize) {
        Flush();
    }
}

void StandardOutput::Flush() noexcept
{
    if (writeError_ == ERROR_SUCCESS) {
        writeError_ = WriteAll(handle_, pending_);
    }
    pending_.clear();
}

void PrintError(const std::wstring& message) noexcept
{
    try {
        const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
        const std::wstring line = message + L"\r\n";
        DWORD mode = 0;
        if (::GetConsoleMode(handle, &mode)) {
            DWORD written = 0;
            ::WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            return;
        }
        // Standard error that takes nothing leaves only the exit code to tell.
        WriteAll(handle, ToUtf8(line));
    } catch (...) {
        // Out of memory: the message is lost, the exit code still says it.
    }
}

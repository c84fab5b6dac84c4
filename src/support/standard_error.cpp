#include "support/standard_error.h"

#include <algorithm>
#include <climits>

namespace {

constexpr std::size_t kWriteSize = 64 * 1024;

} // namespace

std::string ToUtf8(std::wstring_view text)
{
    if (text.empty() || text.size() > INT_MAX) {
        return std::string();
    }
    const int units = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

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

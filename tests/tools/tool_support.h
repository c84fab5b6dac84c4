#pragma once

// Helpers shared by the small programs that the end-to-end tests run in Wine.

#include "support/unique_handle.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

// Job, process and thread handles: null, not INVALID_HANDLE_VALUE, means none.
struct ObjectHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};
using UniqueObjectHandle = UniqueHandle<ObjectHandleTraits>;

inline std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

inline std::wstring FromUtf8(const std::string& bytes)
{
    if (bytes.empty()) {
        return std::wstring();
    }
    const int length = static_cast<int>(bytes.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(), size);
    return text;
}

inline int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Bytes from hex digits, two a byte; "-" stands for no bytes. Nothing when
// the text is not that.
inline std::optional<std::vector<unsigned char>> DecodeHex(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    if (hex == "-") {
        return bytes;
    }
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    bytes.reserve(hex.size() / 2);
    for (std::size_t index = 0; index < hex.size(); index += 2) {
        const int high = HexDigitValue(hex[index]);
        const int low = HexDigitValue(hex[index + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

inline std::string EncodeHex(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 2);
    for (std::size_t index = 0; index < count; ++index) {
        hex.push_back(digits[bytes[index] >> 4]);
        hex.push_back(digits[bytes[index] & 0x0F]);
    }
    return hex.empty() ? std::string("-") : hex;
}

inline std::string ErrorText(const char* call, DWORD code)
{
    char text[128] = {};
    std::snprintf(text, sizeof(text), "%s failed, error %lu (0x%08lx)", call, static_cast<unsigned long>(code),
                  static_cast<unsigned long>(code));
    return text;
}

// Reports on standard error and ends the tool with exit code 1.
[[noreturn]] inline void Fail(const char* tool, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
    std::fflush(stderr);
    std::exit(1);
}

// This program's file name, to name the tool in a report from a handler.
inline const char* OwnFileName()
{
    static char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH - 1] = '\0';
    const char* name = path;
    for (const char* position = path; *position; ++position) {
        if (*position == '\\' || *position == '/') {
            name = position + 1;
        }
    }
    return name;
}

// A tool that crashes or ends on an exception nobody caught says so on
// standard error too, so that no failure of a tool is silent.
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "%s: crashed with exception 0x%08lx\n", OwnFileName(),
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}

[[noreturn]] inline void ReportUncaughtException()
{
    std::fprintf(stderr, "%s: ended by a C++ exception that nothing caught\n", OwnFileName());
    std::fflush(stderr);
    std::_Exit(3);
}

inline bool InstallFailureReports()
{
    ::SetUnhandledExceptionFilter(ReportCrash);
    std::set_terminate(ReportUncaughtException);
    return true;
}

// Installed before wmain runs, in every tool that includes this file.
inline const bool failureReportsInstalled = InstallFailureReports();

// A whole file's bytes, or nothing with the error code left in GetLastError.
inline std::optional<std::string> ReadWholeFile(const std::wstring& path)
{
    const UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr)) {
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        bytes.append(chunk, got);
    }
}

// Creates or replaces a file with the given bytes; false with GetLastError set.
inline bool WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    const UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
           && written == bytes.size();
}

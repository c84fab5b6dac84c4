#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// UTF-16 text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);

// Writes every byte, as WriteFile may take fewer than given; the error
// that stopped it, or ERROR_SUCCESS.
DWORD WriteAll(HANDLE handle, std::string_view bytes) noexcept;

// One line on standard error: as UTF-16 to a console, which shows any
// character, and as UTF-8 when redirected.
void PrintError(const std::wstring& message) noexcept;

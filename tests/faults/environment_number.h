#pragma once

#include <windows.h>

#include <cwchar>
#include <optional>

// A number from the environment (decimal, or hex with 0x), by which the
// fault seams are told what to fail; none when the variable is not set.
inline std::optional<DWORD> NumberFromEnvironment(const wchar_t* name)
{
    wchar_t value[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 32);
    if (length == 0 || length >= 32) {
        return std::nullopt;
    }
    return static_cast<DWORD>(std::wcstoul(value, nullptr, 0));
}

#pragma once

#include "support/unique_handle.h"

#include <string>

// Whole-file helpers for checking what the product wrote.

inline bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadFileBytes(const std::wstring& path)
{
    const UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) {
        return bytes;
    }
    char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read != 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    const UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

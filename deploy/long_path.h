#pragma once

#include <windows.h>

#include <string>

// Asks a function that fills a buffer of a given size for its text,
// growing the buffer as it says; empty on failure.
template <typename Fill> std::wstring GrowingText(Fill fill)
{
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = fill(static_cast<DWORD>(text.size()), text.data());
        if (length == 0) {
            return std::wstring();
        }
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length);
    }
}

// The full path of a path given on the command line, relative ones read
// against the current folder; empty when the system cannot tell it.
std::wstring FullPath(const std::wstring& path);

// The form of a full path that file functions accept at any length: paths
// too long for the classic limit get the extended-length prefix ("\\?\", or
// "\\?\UNC\" for a share), which also needs backslashes only. Shorter paths
// stay as they are.
std::wstring ExtendedLengthPath(const std::wstring& path);

// A full path as CreateProcessW takes it for the program and its current
// folder: the path itself when short enough, else its short (8.3) form;
// empty when neither fits.
std::wstring StartablePath(const std::wstring& path);

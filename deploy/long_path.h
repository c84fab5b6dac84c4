#pragma once

#include <string>

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

#pragma once

#include <string>

// Copies every plain file lying directly in sourceFolder into
// destinationFolder, replacing files of the same name, with one log entry
// per attempted copy. Both folders end with a backslash. Sub-folders are
// left out. Raises the failed outcome, after logging the system's error
// code, when the folder cannot be listed completely or a copy fails; files
// copied before that stay in place.
void CopyFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder);

// The folder path followed directly by the name; a null name adds nothing.
std::wstring AppendFileName(const std::wstring& folder, const wchar_t* name);

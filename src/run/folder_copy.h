#pragma once

#include <string>
#include <vector>

// The names of the plain files lying directly in sourceFolder, in the
// order the platform lists them; sub-folders are left out. Raises the
// failed outcome, after logging the system's error code, when the folder
// cannot be listed completely.
std::vector<std::wstring> ListFolderFiles(const std::wstring& sourceFolder);

// Makes sure, without changing anything, that each named file could be
// copied into destinationFolder: an existing file must open for writing
// with every kind of sharing allowed, and a new one must have its folder.
// Raises the failed outcome at the first file that fails, with the entries
// its refused copy would give, naming first the programs that hold it where
// the system can tell.
void CheckFolderFiles(const std::vector<std::wstring>& names, const std::wstring& destinationFolder);

// Copies each named file from sourceFolder into destinationFolder,
// replacing a file of the same name, with one log entry per attempted
// copy. Both folders end with a backslash. Raises the failed outcome at the
// first refused copy; files copied before it stay in place.
void CopyFolderFiles(const std::wstring& sourceFolder, const std::vector<std::wstring>& names,
                     const std::wstring& destinationFolder);

// The folder path followed directly by the name; a null name adds nothing.
std::wstring AppendFileName(const std::wstring& folder, const wchar_t* name);

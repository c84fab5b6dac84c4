#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Makes sure, without changing anything, that every plain file lying
// directly in sourceFolder could be copied into destinationFolder: an
// existing file there must open for writing as the copy opens it, and have
// no hidden or system attribute that its shipped file lacks, and a new one
// must have its folder. Raises the failed outcome,
// after logging the system's error code, when the source folder cannot be
// listed completely, and at the first file that fails, with the entries its
// refused copy would give, naming first the programs that hold it where the
// system can tell.
void CheckFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder);

// Copies every plain file lying directly in sourceFolder into
// destinationFolder, replacing files of the same name, with one log entry
// per attempted copy. Both folders end with a backslash. Sub-folders are
// left out. Raises the failed outcome, after logging the system's error
// code, when the folder cannot be listed completely or a copy fails; files
// copied before that stay in place.
void CopyFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder);

// The folder path followed directly by the name; a null name adds nothing.
std::wstring AppendFileName(const std::wstring& folder, const wchar_t* name);

// The names of the plain files lying directly in sourceFolder, in the order
// that the check and the copy take them, without any log entry; nothing
// when the folder cannot be listed completely.
std::optional<std::vector<std::wstring>> ListPlainFiles(const std::wstring& sourceFolder);

// Why the check before the first copy would refuse to copy the file source
// over destination, as an error code; ERROR_SUCCESS when it would not, and
// for a destination that does not exist in an existing folder. A source
// that does not exist is refused too. Changes nothing and logs nothing.
DWORD ReplacementRefusal(const std::wstring& source, const std::wstring& destination);

#pragma once

#include "private_folder.h"
#include "support/unique_handle.h"

#include <windows.h>

#include <string>

// The folder on this machine where the launcher keeps the files that the
// hotfix replaces, for /uninstall: %ProgramData%\VELTRANE\qx913hotfix2\.

// The access list of the store and of any folder above it that the
// launcher creates: the private folder's (owner the Administrators; full
// control for SYSTEM and the Administrators and nothing else, nothing
// inherited from above, and inherited by everything inside).
inline constexpr const wchar_t* kStoreSddl = kPrivateFolderSddl;

// The store's folder, with its backslash, under the given base folder (one
// with its backslash); by default under %ProgramData%. Empty when the
// system names no ProgramData folder.
std::wstring StoreFolder();
std::wstring StoreFolderIn(const std::wstring& base);

// Why a folder of this owner and access list must not hold the store, as
// the end of a line ("it is owned by another account", ...); empty when it
// may: owned by SYSTEM or the Administrators, and no other account may
// write to it or change its access list.
std::wstring SecurityProblem(PSECURITY_DESCRIPTOR descriptor);

// The owner and access list of an open folder; null when they cannot be
// read. Kept in a file of its own: the test build replaces it, because
// Wine gives every object one owner and keeps no access lists.
UniqueLocalMemory ReadFolderSecurity(HANDLE folder);

// The store, open and checked: held without delete sharing, so that it
// cannot be renamed or replaced while it is in use.
struct OpenedStore {
    UniqueFileHandle hold;
    std::wstring path;    // with its backslash
    std::wstring problem; // one line for standard error; empty when usable
    bool exists = false;
};

// Opens the store at path, first creating it and any missing folder above
// it under its base with kStoreSddl when create is set. The store, and
// every folder that this call created, must not be a link and must pass
// SecurityProblem; otherwise problem says why and nothing inside is touched.
// Without create, a missing store is no problem: exists is false.
OpenedStore OpenStore(const std::wstring& path, bool create);

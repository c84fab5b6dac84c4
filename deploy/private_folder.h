#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The access list of the launcher's private folder, in SDDL: owned by the
// Administrators; protected, so that nothing is inherited from the temporary
// folder; full control for SYSTEM and the Administrators only, inherited by
// everything inside. The launching account is not named: an administrator's
// everyday, unelevated programs share its user SID, and must not be able to
// change what then runs elevated. The launcher's manifest asks for
// administrator rights, so its token holds the Administrators group.
inline constexpr wchar_t kPrivateFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// GetTempPath2W where kernel32 has it (newer Windows only), else null.
using GetTempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
GetTempPathFunction LookUpGetTempPath2();

// The temporary folder, with its trailing backslash: from getTempPath2 when
// given (which gives SYSTEM a folder no other account can reach), else from
// GetTempPathW; empty when the system cannot tell it.
std::wstring TemporaryFolder(GetTempPathFunction getTempPath2);

// "qx" and 16 hex digits from the system's cryptographic random source;
// empty when that source fails.
std::wstring RandomFolderName();

using CreateDirectoryFunction = std::function<BOOL(const wchar_t* path, SECURITY_ATTRIBUTES* attributes)>;

struct PrivateFolder {
    std::wstring name;
    std::wstring path; // with its trailing backslash
    DWORD error = ERROR_SUCCESS;
};

// Creates a new folder of a random name in parent (a folder path ending with
// a backslash) through createDirectory, with the access list sddl given at
// creation. A name that exists already is never used: another is drawn. On
// failure, error holds the last error and no folder was made.
PrivateFolder CreatePrivateFolder(const std::wstring& parent, const std::wstring& sddl,
                                  const CreateDirectoryFunction& createDirectory);

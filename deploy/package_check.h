#pragma once

#include "support/unique_handle.h"

#include <windows.h>

#include <wincrypt.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The shipped folders under "modules", whose plain files the launcher stages.
inline constexpr const wchar_t* kShippedFolders[] = {L"bin", L"bin_x64", L"zfa_act", L"181235_bin", L"181235_bin_x64"};

// The checksum list shipped in the package folder.
constexpr wchar_t kChecksumListName[] = L"SHA256SUMS";

// A file a checksum list names: its package-relative path as written and its
// digest as 64 lower-case hex digits.
struct ListedFile {
    std::wstring path;
    std::string digest;
};

// The files of a checksum list by key (see ChecksumKey).
using ChecksumList = std::map<std::wstring, ListedFile>;

// Reads sha256sum's format: "<64 hex digits>  <path>" (or " *<path>") per
// line, LF or CR LF. Nothing when any line is not of that form or a path
// comes twice.
std::optional<ChecksumList> ParseChecksumList(const std::string& text);

// The key of a package-relative path in a ChecksumList: backslashes, upper
// case, as Windows compares names.
std::wstring ChecksumKey(const std::wstring& relativePath);

// Whether a listed path belongs to what the launcher stages: the exe and
// the files lying directly in a shipped folder; not the tools that ship
// beside them, nor a file in a sub-folder, which no run copies.
bool IsStagedPath(const std::wstring& key);

// Checks the staged files (package-relative paths) against the list:
// every one must be listed with its digest (digestOf gives it, empty when
// the file cannot be read), and every staged path the list names must
// have been staged. Returns the first problem as one line naming the
// file, or empty when the package matches.
std::wstring FirstMismatch(const ChecksumList& list, const std::vector<std::wstring>& staged,
                           const std::function<std::string(const std::wstring&)>& digestOf);

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static Handle Invalid() noexcept { return 0; }
    static void Close(Handle provider) noexcept { ::CryptReleaseContext(provider, 0); }
};

// SHA-256 digests of files, from one CryptoAPI provider: acquiring one
// costs far more than hashing a small file.
class FileHasher {
  public:
    FileHasher() noexcept;

    // The digest of a file as 64 lower-case hex digits; empty when it
    // cannot be read whole or the provider could not be had.
    std::string DigestOf(const std::wstring& path) const;

  private:
    UniqueHandle<CryptProviderTraits> provider_;
};

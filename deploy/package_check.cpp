#include "package_check.h"

#include "long_path.h"

#include <algorithm>
#include <cwchar>
#include <set>

namespace {

constexpr std::string::size_type kDigestDigits = 64;
constexpr wchar_t kModulesPrefix[] = L"MODULES\\";
constexpr wchar_t kExeKey[] = L"QXHOTFIX.EXE";
constexpr DWORD kReadChunk = 1 << 16;

struct CryptHashTraits {
    using Handle = HCRYPTHASH;
    static Handle Invalid() noexcept { return 0; }
    static void Close(Handle hash) noexcept { ::CryptDestroyHash(hash); }
};

bool IsLowerHex(const std::string& text)
{
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::wstring Widened(const std::string& utf8)
{
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::wstring::size_type>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          length);
    return wide;
}

// One line's path and digest; false when the line is not of the format.
bool ParseLine(std::string line, ListedFile& file)
{
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const std::string::size_type pathStart = kDigestDigits + 2;
    if (line.size() <= pathStart || line[kDigestDigits] != ' '
        || (line[kDigestDigits + 1] != ' ' && line[kDigestDigits + 1] != '*')) {
        return false;
    }
    file.digest = line.substr(0, kDigestDigits);
    file.path = Widened(line.substr(pathStart));
    return IsLowerHex(file.digest) && !file.path.empty();
}

std::string HexText(const BYTE* bytes, DWORD count)
{
    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    for (DWORD index = 0; index < count; ++index) {
        text += kHexDigits[bytes[index] >> 4];
        text += kHexDigits[bytes[index] & 0x0f];
    }
    return text;
}

bool HashWholeFile(HANDLE file, HCRYPTHASH hash)
{
    std::string buffer(kReadChunk, '\0');
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), kReadChunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (!::CryptHashData(hash, reinterpret_cast<const BYTE*>(buffer.data()), read, 0)) {
            return false;
        }
    }
}

} // namespace

std::wstring ChecksumKey(const std::wstring& relativePath)
{
    std::wstring key = relativePath;
    for (wchar_t& character : key) {
        if (character == L'/') {
            character = L'\\';
        }
    }
    if (key.empty()) {
        return key;
    }
    // Upper-casing keeps the length; the result goes to a buffer of its own.
    const int length = static_cast<int>(key.size());
    std::wstring upper(key.size(), L'\0');
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.c_str(), length, upper.data(), length);
    return upper;
}

bool IsStagedPath(const std::wstring& key)
{
    if (key == kExeKey) {
        return true;
    }
    for (const wchar_t* folder : kShippedFolders) {
        const std::wstring prefix = kModulesPrefix + ChecksumKey(folder) + L"\\";
        if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0
            && key.find(L'\\', prefix.size()) == std::wstring::npos) {
            return true;
        }
    }
    return false;
}

std::optional<ChecksumList> ParseChecksumList(const std::string& text)
{
    ChecksumList list;
    for (std::string::size_type start = 0; start < text.size();) {
        const std::string::size_type end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ListedFile file;
        if (!ParseLine(line, file) || !list.emplace(ChecksumKey(file.path), file).second) {
            return std::nullopt;
        }
    }
    return list;
}

std::wstring FirstMismatch(const ChecksumList& list, const std::vector<std::wstring>& staged,
                           const std::function<std::string(const std::wstring&)>& digestOf)
{
    for (const std::wstring& path : staged) {
        const auto listed = list.find(ChecksumKey(path));
        if (listed == list.end()) {
            return path + L" is not listed";
        }
        const std::string digest = digestOf(path);
        if (digest.empty()) {
            return path + L" cannot be read";
        }
        if (digest != listed->second.digest) {
            return path + L" has changed";
        }
    }
    std::set<std::wstring> stagedKeys;
    for (const std::wstring& path : staged) {
        stagedKeys.insert(ChecksumKey(path));
    }
    for (const auto& [key, file] : list) {
        if (IsStagedPath(key) && stagedKeys.count(key) == 0) {
            return file.path + L" is missing";
        }
    }
    return std::wstring();
}

FileHasher::FileHasher() noexcept
{
    ::CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
}

std::string FileHasher::DigestOf(const std::wstring& path) const
{
    UniqueFileHandle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    UniqueHandle<CryptHashTraits> hash;
    if (!file || !provider_ || !::CryptCreateHash(provider_.get(), CALG_SHA_256, 0, 0, hash.put())
        || !HashWholeFile(file.get(), hash.get())) {
        return std::string();
    }
    BYTE digest[32] = {};
    DWORD size = sizeof digest;
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &size, 0)) {
        return std::string();
    }
    return HexText(digest, size);
}

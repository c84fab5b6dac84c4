#include "record.h"

#include "folder_tree.h"
#include "long_path.h"
#include "package_check.h"
#include "support/standard_error.h"
#include "support/unique_handle.h"

#include <cstdio>

namespace {

constexpr std::string_view kHeader = "qx913hotfix2 kept files, ";
constexpr std::string_view kKept = "kept";
constexpr std::string_view kNew = "new";
constexpr std::string_view kNoDigest = "-";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kDigestLength = 64;
constexpr std::size_t kTimeLength = 19;
constexpr wchar_t kTemporaryName[] = L"record.tmp";
// Far more than the tens of files of a package, kept many times over.
constexpr LONGLONG kLongestRecord = 64LL << 20;

bool IsDigest(std::string_view text)
{
    return text.size() == kDigestLength && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::optional<std::wstring> FromUtf8(std::string_view text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// Splits off the text up to the separator; the whole rest without one.
std::string_view TakeField(std::string_view& text, char separator)
{
    const std::size_t end = text.find(separator);
    const std::string_view field = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return field;
}

std::optional<std::vector<std::string>> ParseDigests(std::string_view text)
{
    std::vector<std::string> digests;
    while (!text.empty()) {
        const std::string_view digest = TakeField(text, ',');
        if (!IsDigest(digest)) {
            return std::nullopt;
        }
        digests.emplace_back(digest);
    }
    return digests.empty() ? std::nullopt : std::optional<std::vector<std::string>>(digests);
}

bool IsFullPath(const std::wstring& path)
{
    const bool drive = path.size() > 3 && path[1] == L':' && path[2] == L'\\';
    const bool share = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\';
    return (drive || share) && path.find(L'\t') == std::wstring::npos;
}

std::optional<RecordEntry> ParseEntry(std::string_view line)
{
    const std::string_view state = TakeField(line, '\t');
    const std::string_view original = TakeField(line, '\t');
    const std::optional<std::vector<std::string>> digests = ParseDigests(TakeField(line, '\t'));
    const std::optional<std::wstring> destination = FromUtf8(line);
    RecordEntry entry;
    entry.existed = state == kKept;
    const bool originalFits = entry.existed ? IsDigest(original) : original == kNoDigest;
    if ((state != kKept && state != kNew) || !originalFits || !digests || !destination || !IsFullPath(*destination)) {
        return std::nullopt;
    }
    entry.originalDigest = entry.existed ? std::string(original) : std::string();
    entry.packageDigests = *digests;
    entry.destination = *destination;
    return entry;
}

std::string JoinedDigests(const std::vector<std::string>& digests)
{
    std::string joined;
    for (const std::string& digest : digests) {
        joined += (joined.empty() ? "" : ",") + digest;
    }
    return joined;
}

// Writes the bytes to a new file and forces them to the disk before the
// rename makes them the record.
DWORD WriteNewFile(const std::wstring& path, const std::string& bytes)
{
    UniqueFileHandle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return ::GetLastError();
    }
    const DWORD error = WriteAll(file.get(), bytes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return ::FlushFileBuffers(file.get()) ? ERROR_SUCCESS : ::GetLastError();
}

} // namespace

std::string FormatRecord(const Record& record)
{
    std::string text = std::string(kHeader) + record.time + std::string(kLineEnd);
    for (const RecordEntry& entry : record.entries) {
        text += std::string(entry.existed ? kKept : kNew) + "\t"
                + (entry.existed ? entry.originalDigest : std::string(kNoDigest)) + "\t"
                + JoinedDigests(entry.packageDigests) + "\t" + ToUtf8(entry.destination) + std::string(kLineEnd);
    }
    return text;
}

std::optional<Record> ParseRecord(std::string_view text)
{
    Record record;
    EntryIndex index;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find(kLineEnd);
        if (end == std::string_view::npos) {
            // A record cut short is never read as a shorter one.
            return std::nullopt;
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + kLineEnd.size());
        if (first) {
            if (line.substr(0, kHeader.size()) != kHeader || line.size() != kHeader.size() + kTimeLength) {
                return std::nullopt;
            }
            record.time = std::string(line.substr(kHeader.size()));
            first = false;
            continue;
        }
        const std::optional<RecordEntry> entry = ParseEntry(line);
        if (!entry || !index.Add(entry->destination, record.entries.size())) {
            return std::nullopt;
        }
        record.entries.push_back(*entry);
    }
    return first ? std::nullopt : std::optional<Record>(record);
}

std::wstring KeptFileName(std::size_t index)
{
    return std::to_wstring(index + 1) + L".kept";
}

EntryIndex::EntryIndex(const Record& record)
{
    for (std::size_t index = 0; index < record.entries.size(); ++index) {
        Add(record.entries[index].destination, index);
    }
}

std::optional<std::size_t> EntryIndex::Find(const std::wstring& destination) const
{
    const auto found = entries_.find(ChecksumKey(destination));
    return found == entries_.end() ? std::nullopt : std::optional<std::size_t>(found->second);
}

bool EntryIndex::Add(const std::wstring& destination, std::size_t index)
{
    return entries_.emplace(ChecksumKey(destination), index).second;
}

void AddPackageDigest(RecordEntry& entry, const std::string& packageDigest)
{
    for (const std::string& digest : entry.packageDigests) {
        if (digest == packageDigest) {
            return;
        }
    }
    entry.packageDigests.push_back(packageDigest);
}

std::optional<Record> ReadRecord(const std::wstring& store, DWORD& error)
{
    const std::wstring path = store + kRecordName;
    error = ERROR_SUCCESS;
    if (AttributesOf(path) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        return Record{RecordTime(), {}};
    }
    const std::optional<std::string> text = ReadSmallFile(path, kLongestRecord);
    std::optional<Record> record = text ? ParseRecord(*text) : std::nullopt;
    if (!record) {
        error = text ? static_cast<DWORD>(ERROR_INVALID_DATA) : ::GetLastError();
    }
    return record;
}

DWORD ReplaceRecord(const std::wstring& store, const Record& record)
{
    const std::wstring temporary = store + kTemporaryName;
    DWORD error = WriteNewFile(temporary, FormatRecord(record));
    if (error == ERROR_SUCCESS
        && !::MoveFileExW(ExtendedLengthPath(temporary).c_str(), ExtendedLengthPath(store + kRecordName).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        ::DeleteFileW(ExtendedLengthPath(temporary).c_str());
    }
    return error;
}

std::string RecordTime()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    char text[kTimeLength + 1] = {};
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

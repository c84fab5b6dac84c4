#include "log_files.h"

#include "read_seam.h"
#include "support/unique_handle.h"
#include "windows_text.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::wstring_view kLogMark = L"qx913hotfix2_";
constexpr std::wstring_view kMachineSeparator = L"_qx913hotfix2_";
constexpr std::wstring_view kLogExtension = L".log";
constexpr const wchar_t* kLogPattern = L"*qx913hotfix2_*.log";
constexpr DWORD kReadPiece = 64 * 1024;

wchar_t AsciiLower(wchar_t character)
{
    return character >= L'A' && character <= L'Z' ? static_cast<wchar_t>(character - L'A' + L'a') : character;
}

// Where the ASCII text `part` first occurs in `text`, ignoring case.
std::wstring_view::size_type FindIgnoringCase(std::wstring_view text, std::wstring_view part)
{
    const auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                                   [](wchar_t a, wchar_t b) { return AsciiLower(a) == AsciiLower(b); });
    return found == text.end() ? std::wstring_view::npos : static_cast<std::size_t>(found - text.begin());
}

bool EndsWithIgnoringCase(std::wstring_view text, std::wstring_view end)
{
    return text.size() >= end.size() && FindIgnoringCase(text.substr(text.size() - end.size()), end) == 0;
}

bool NameSortsBefore(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
}

DWORD FolderProblem(const std::wstring& folder)
{
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError();
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

struct FailedCall {
    const char* name;
    DWORD code;
};

// Feeds a file's bytes to the parser; the call that kept it from reading
// the file whole, if any. A file that shrank meanwhile simply ends early.
std::optional<FailedCall> ReadLogFile(const std::wstring& path, LogParser& parser)
{
    // Shared every way: a run may be writing its log, or a copy tool the share.
    const UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return FailedCall{"CreateFile", ::GetLastError()};
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size)) {
        return FailedCall{"GetFileSizeEx", ::GetLastError()};
    }
    std::uint64_t left = static_cast<std::uint64_t>(size.QuadPart);
    std::string piece(kReadPiece, '\0');
    while (left > 0 && !parser.NotALog()) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(left, kReadPiece));
        DWORD read = 0;
        if (!ReadLogFileBytes(file.get(), piece.data(), wanted, &read)) {
            return FailedCall{"ReadFile", ::GetLastError()};
        }
        if (read == 0) {
            break;
        }
        parser.Feed(std::string_view(piece.data(), read));
        left -= read;
    }
    return std::nullopt;
}

} // namespace

bool IsLogFileName(const std::wstring& name)
{
    // The mark must come before the extension: "*qx913hotfix2_*.log".
    const auto mark = FindIgnoringCase(name, kLogMark);
    return mark != std::wstring_view::npos && EndsWithIgnoringCase(name, kLogExtension)
           && mark + kLogMark.size() + kLogExtension.size() <= name.size();
}

std::wstring MachineOfLogName(const std::wstring& name)
{
    const auto separator = FindIgnoringCase(name, kMachineSeparator);
    return separator == std::wstring_view::npos ? std::wstring() : name.substr(0, separator);
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name)
{
    const bool separated = folder.empty() || folder.back() == L'\\' || folder.back() == L'/' || folder.back() == L':';
    return separated ? folder + name : folder + L'\\' + name;
}

LogFolderListing ListLogFiles(const std::wstring& folder)
{
    LogFolderListing listing;
    listing.error = FolderProblem(folder);
    if (listing.error != ERROR_SUCCESS) {
        return listing;
    }
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW(JoinPath(folder, kLogPattern).c_str(), &entry));
    if (!search) {
        const DWORD error = ::GetLastError();
        listing.error = error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
        return listing;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsLogFileName(entry.cFileName)) {
            listing.names.emplace_back(entry.cFileName);
        }
    } while (::FindNextFileW(search.get(), &entry));
    // Only the end of the listing means every name was seen.
    const DWORD error = ::GetLastError();
    listing.error = error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
    std::sort(listing.names.begin(), listing.names.end(), NameSortsBefore);
    return listing;
}

void SummarizeLogFile(const std::wstring& path, const LogParser::RunHandler& onRun)
{
    LogParser parser(onRun);
    const std::optional<FailedCall> failure = ReadLogFile(path, parser);
    if (failure) {
        parser.FinishUnread(failure->name + std::string(", GetLastError, ") + ErrorCodeText(failure->code),
                            failure->code);
        return;
    }
    parser.Finish();
}

#include "run/folder_copy.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"
#include "support/unique_handle.h"

#include <windows.h>

#include <cstddef>
#include <cwchar>

namespace {

// Matches every entry, names without a full stop included.
constexpr const wchar_t* kEveryEntry = L"\\*.*";

// More would bury the failure's own entries.
constexpr std::size_t kMostHoldersNamed = 4;

bool IsPlainFile(const WIN32_FIND_DATAW& entry)
{
    const bool isDotEntry = std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0;
    return !isDotEntry && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

[[noreturn]] void RaiseSystemError(const wchar_t* format, DWORD error)
{
    DebugLogPrintf(format, static_cast<unsigned int>(error));
    RaiseOutcome(kOutcomeFailed);
}

void LogFileHolders(const std::wstring& path)
{
    const std::vector<FileHolder> holders = ListFileHolders(path);
    for (std::size_t index = 0; index < holders.size() && index < kMostHoldersNamed; ++index) {
        DebugLogPrintf(L"[info]: In use by \"%s\", process id %d", holders[index].program.c_str(),
                       static_cast<int>(holders[index].processId));
    }
}

// The entries of a copy of name into destination that failed with error.
[[noreturn]] void RaiseRefusedCopy(const wchar_t* name, const std::wstring& destination, DWORD error)
{
    if (error == ERROR_SHARING_VIOLATION) {
        LogFileHolders(destination);
    }
    DebugLogPrintf(L"[info]: CopyFile, \"%s\", result , %d, ", name, 0);
    RaiseSystemError(L"[error]: CopyFile, GetLastError, 0x%08x", error);
}

// The hidden and system attributes: CopyFileW gives the new file the shipped
// file's attributes, and replacing a file that has either of them with one
// that lacks it is refused with access denied.
constexpr DWORD kReplacementGuardingAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Why the copy would refuse to replace the existing destination with a
// shipped file of the given attributes, ERROR_SUCCESS when it would not.
// Read by path: under Wine that costs a tenth of a query by handle.
DWORD AttributeRefusal(const std::wstring& destination, DWORD shippedAttributes)
{
    const DWORD attributes = ::GetFileAttributesW(destination.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError();
    }
    const DWORD lacking = attributes & kReplacementGuardingAttributes & ~shippedAttributes;
    return lacking != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// Why a copy of a shipped file of the given attributes to destination would
// be refused, ERROR_SUCCESS when it would not. The destination is opened as
// the copy opens it, for writing, letting others only read and write it, so
// that a program holding it with delete access refuses the check as it
// would the copy. The open changes nothing: the file is closed at once.
DWORD WriteRefusal(const std::wstring& destination, DWORD shippedAttributes)
{
    const UniqueFileHandle file(::CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        return AttributeRefusal(destination, shippedAttributes);
    }
    // A file that does not exist yet in an existing folder is a new one.
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// Raises the entries of a refused copy when the shipped file could not be
// copied into destinationFolder.
void CheckOneFile(const std::wstring& destinationFolder, const WIN32_FIND_DATAW& shipped)
{
    const std::wstring destination = AppendFileName(destinationFolder, shipped.cFileName);
    const DWORD refusal = WriteRefusal(destination, shipped.dwFileAttributes);
    if (refusal != ERROR_SUCCESS) {
        RaiseRefusedCopy(shipped.cFileName, destination, refusal);
    }
}

// Copies one file over any file of the same name; raises when refused.
void CopyOneFile(const std::wstring& sourceFolder, const std::wstring& destinationFolder, const wchar_t* name)
{
    const std::wstring source = AppendFileName(sourceFolder, name);
    const std::wstring destination = AppendFileName(destinationFolder, name);
    if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        RaiseRefusedCopy(name, destination, ::GetLastError());
    }
    DebugLogPrintf(L"[info]: CopyFile, \"%s\", result , %d, ", name, 1);
}

// Calls step with the listing entry of each plain file in sourceFolder, in
// listing order. The folder is listed anew on each call: keeping the names
// between the check and the copy would cost memory in proportion to the
// package.
template <typename Step> void ForEachPlainFile(const std::wstring& sourceFolder, Step step)
{
    const std::wstring pattern = sourceFolder + kEveryEntry;
    WIN32_FIND_DATAW entry = {};
    // The search is closed on every way out, before the outcome is caught.
    const UniqueFindHandle search(::FindFirstFileW(pattern.c_str(), &entry));
    if (!search) {
        RaiseSystemError(L"[error]: FindFirstFile, GetLastError, 0x%08x", ::GetLastError());
    }
    do {
        if (IsPlainFile(entry)) {
            step(entry);
        }
    } while (FindNextEntry(search.get(), &entry));

    // Only the end of the listing means every file was seen.
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        RaiseSystemError(L"[error]: FindNextFile, GetLastError, 0x%08x", error);
    }
}

} // namespace

std::wstring AppendFileName(const std::wstring& folder, const wchar_t* name)
{
    return name ? folder + name : folder;
}

void CheckFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder)
{
    ForEachPlainFile(sourceFolder, [&](const WIN32_FIND_DATAW& shipped) { CheckOneFile(destinationFolder, shipped); });
}

void CopyFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder)
{
    ForEachPlainFile(sourceFolder, [&](const WIN32_FIND_DATAW& shipped) {
        CopyOneFile(sourceFolder, destinationFolder, shipped.cFileName);
    });
}

std::optional<std::vector<std::wstring>> ListPlainFiles(const std::wstring& sourceFolder)
{
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((sourceFolder + kEveryEntry).c_str(), &entry));
    if (!search) {
        return std::nullopt;
    }
    std::vector<std::wstring> names;
    do {
        if (IsPlainFile(entry)) {
            names.emplace_back(entry.cFileName);
        }
    } while (FindNextEntry(search.get(), &entry));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        return std::nullopt;
    }
    return names;
}

DWORD ReplacementRefusal(const std::wstring& source, const std::wstring& destination)
{
    const DWORD sourceAttributes = ::GetFileAttributesW(source.c_str());
    if (sourceAttributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError();
    }
    return WriteRefusal(destination, sourceAttributes);
}

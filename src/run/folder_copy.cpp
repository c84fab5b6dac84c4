#include "run/folder_copy.h"

#include "log/debug_log.h"
#include "run/outcome.h"
#include "run/platform_seams.h"
#include "support/unique_handle.h"

#include <windows.h>

#include <cwchar>

namespace {

// Matches every entry, names without a full stop included.
constexpr const wchar_t* kEveryEntry = L"\\*.*";

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

// Copies one file over any file of the same name; raises when refused.
void CopyOneFile(const std::wstring& sourceFolder, const std::wstring& destinationFolder, const wchar_t* name)
{
    const std::wstring source = AppendFileName(sourceFolder, name);
    const std::wstring destination = AppendFileName(destinationFolder, name);
    const BOOL copied = ::CopyFileW(source.c_str(), destination.c_str(), FALSE);
    const DWORD error = copied ? ERROR_SUCCESS : ::GetLastError();
    DebugLogPrintf(L"[info]: CopyFile, \"%s\", result , %d, ", name, copied ? 1 : 0);
    if (!copied) {
        RaiseSystemError(L"[error]: CopyFile, GetLastError, 0x%08x", error);
    }
}

} // namespace

std::wstring AppendFileName(const std::wstring& folder, const wchar_t* name)
{
    return name ? folder + name : folder;
}

void CopyFolderFiles(const std::wstring& sourceFolder, const std::wstring& destinationFolder)
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
            CopyOneFile(sourceFolder, destinationFolder, entry.cFileName);
        }
    } while (FindNextEntry(search.get(), &entry));

    // Only the end of the listing means every file was seen.
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        RaiseSystemError(L"[error]: FindNextFile, GetLastError, 0x%08x", error);
    }
}

#include "store.h"

#include "folder_tree.h"
#include "long_path.h"
#include "support/module_path.h"

#include <sddl.h>

#include <utility>
#include <vector>

namespace {

constexpr wchar_t kMakerFolder[] = L"VELTRANE\\";
constexpr wchar_t kStoreName[] = L"qx913hotfix2\\";
constexpr wchar_t kStoreProblem[] = L"run-hotfix: cannot use the store ";

// What lets an account change a folder, add to it or take it over.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD
                                     | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE
                                     | GENERIC_ALL | MAXIMUM_ALLOWED;

bool IsTrustedAccount(PSID sid)
{
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// The entry's problem for the store; empty when it grants no other account
// any right to change the folder.
std::wstring EntryProblem(const ACE_HEADER& header)
{
    switch (header.AceType) {
    case ACCESS_DENIED_ACE_TYPE:
        return std::wstring();
    case ACCESS_ALLOWED_ACE_TYPE: {
        const auto& allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE&>(header);
        const PSID sid = const_cast<DWORD*>(&allowed.SidStart);
        const bool othersWrite = (allowed.Mask & kWriteRights) != 0 && !IsTrustedAccount(sid);
        return othersWrite ? L"it lets another account write" : std::wstring();
    }
    default:
        // Conditional and object entries are never part of the store's list.
        return L"it has an access entry of another kind";
    }
}

std::wstring WithoutBackslash(const std::wstring& folder)
{
    return folder.substr(0, folder.size() - 1);
}

// Why the folder (with its backslash) cannot be trusted; empty when it
// can, and then hold keeps it open.
std::wstring FolderProblem(const std::wstring& folder, UniqueFileHandle& hold)
{
    const std::wstring path = ExtendedLengthPath(WithoutBackslash(folder));
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ErrorText(::GetLastError());
    }
    // A link would lead every later step somewhere that was never checked.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return L"it is a link";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return L"it is not a folder";
    }
    hold.reset(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!hold || !::GetFileInformationByHandle(hold.get(), &information)) {
        return ErrorText(::GetLastError());
    }
    // The folder may have been swapped for a link since its attributes were read.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return L"it is a link";
    }
    const UniqueLocalMemory security = ReadFolderSecurity(hold.get());
    return security ? SecurityProblem(security.get()) : L"its owner and access list cannot be read";
}

// Creates folder with the store's access list. True when this call made it.
bool CreateStoreFolder(const std::wstring& folder, DWORD& error)
{
    UniqueLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kStoreSddl, SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        error = ::GetLastError();
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    if (::CreateDirectoryW(ExtendedLengthPath(WithoutBackslash(folder)).c_str(), &attributes)) {
        error = ERROR_SUCCESS;
        return true;
    }
    error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        error = ERROR_SUCCESS;
    }
    return false;
}

// The store's folder and the folder above it, outermost first.
std::vector<std::wstring> StoreChain(const std::wstring& store)
{
    const std::wstring inner = WithoutBackslash(store);
    return {inner.substr(0, inner.rfind(L'\\') + 1), store};
}

std::wstring StoreLine(const std::wstring& store, const std::wstring& problem)
{
    return kStoreProblem + Quoted(store) + L": " + problem;
}

} // namespace

std::wstring StoreFolder()
{
    wchar_t base[MAX_PATH] = {};
    const DWORD length = ::ExpandEnvironmentStringsW(L"%ProgramData%", base, MAX_PATH);
    if (length == 0 || length > MAX_PATH || base[0] == L'%') {
        return std::wstring();
    }
    return StoreFolderIn(WithTrailingBackslash(base));
}

std::wstring StoreFolderIn(const std::wstring& base)
{
    return base + kMakerFolder + kStoreName;
}

std::wstring SecurityProblem(PSECURITY_DESCRIPTOR descriptor)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner || !IsTrustedAccount(owner)) {
        return L"it is owned by another account";
    }
    BOOL present = FALSE;
    PACL list = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || !list) {
        return L"it lets every account write";
    }
    for (DWORD index = 0; index < list->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(list, index, &entry)) {
            return L"its access list cannot be read";
        }
        std::wstring problem = EntryProblem(*static_cast<const ACE_HEADER*>(entry));
        if (!problem.empty()) {
            return problem;
        }
    }
    return std::wstring();
}

OpenedStore OpenStore(const std::wstring& path, bool create)
{
    OpenedStore store;
    store.path = path;
    if (!create && AttributesOf(WithoutBackslash(path)) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return store;
        }
    }
    store.exists = true;
    const std::vector<std::wstring> chain = StoreChain(path);
    for (const std::wstring& folder : chain) {
        DWORD error = ERROR_SUCCESS;
        const bool created = create && CreateStoreFolder(folder, error);
        if (error != ERROR_SUCCESS) {
            store.problem = StoreLine(path, ErrorText(error));
            return store;
        }
        // A folder above the store that was there before is the product's
        // or the system's, and not the launcher's to judge.
        if (created || folder == path) {
            UniqueFileHandle hold;
            const std::wstring problem = FolderProblem(folder, hold);
            if (!problem.empty()) {
                store.problem = StoreLine(folder == path ? path : folder, problem);
                return store;
            }
            store.hold = std::move(hold);
        }
    }
    return store;
}

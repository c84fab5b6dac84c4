#include "private_folder.h"

#include "long_path.h"
#include "support/system_function.h"
#include "support/unique_handle.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <vector>

namespace {

constexpr wchar_t kSystemSid[] = L"S-1-5-18";
// A name is drawn again only when one exists already; this many clashes
// of 64 random bits mean the random source is broken.
constexpr int kNameAttempts = 16;

struct SidStringTraits {
    using Handle = wchar_t*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle text) noexcept { ::LocalFree(text); }
};
using UniqueSidString = UniqueHandle<SidStringTraits>;

std::vector<unsigned char> TokenUserOf(HANDLE token)
{
    DWORD size = 0;
    ::GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size)) {
        return {};
    }
    return buffer;
}

} // namespace

std::wstring PrivateFolderSddl(const std::wstring& accountSid)
{
    // P: protected, nothing inherited from the parent. OICI: files and
    // folders inside inherit each entry. FA: full control.
    std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (!accountSid.empty() && accountSid != kSystemSid) {
        sddl += L"(A;OICI;FA;;;" + accountSid + L")";
    }
    return sddl;
}

std::wstring LaunchingAccountSid()
{
    UniqueKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return std::wstring();
    }
    std::vector<unsigned char> user = TokenUserOf(token.get());
    if (user.empty()) {
        return std::wstring();
    }
    UniqueSidString text;
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    if (!::ConvertSidToStringSidW(sid, text.put())) {
        return std::wstring();
    }
    return text.get();
}

GetTempPathFunction LookUpGetTempPath2()
{
    return LookUpSystemFunction<GetTempPathFunction>(L"kernel32.dll", "GetTempPath2W");
}

std::wstring TemporaryFolder(GetTempPathFunction getTempPath2)
{
    const GetTempPathFunction getTempPath = getTempPath2 ? getTempPath2 : ::GetTempPathW;
    return GrowingText(getTempPath);
}

std::wstring RandomFolderName()
{
    unsigned char bytes[8] = {};
    if (!::RtlGenRandom(bytes, sizeof bytes)) {
        return std::wstring();
    }
    std::wstring name = L"qx";
    constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
    for (const unsigned char byte : bytes) {
        name += kHexDigits[byte >> 4];
        name += kHexDigits[byte & 0x0f];
    }
    return name;
}

PrivateFolder CreatePrivateFolder(const std::wstring& parent, const std::wstring& sddl,
                                  const CreateDirectoryFunction& createDirectory)
{
    PrivateFolder folder;
    UniqueLocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                                nullptr)) {
        folder.error = ::GetLastError();
        return folder;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring name = RandomFolderName();
        if (name.empty()) {
            folder.error = ERROR_GEN_FAILURE;
            return folder;
        }
        const std::wstring path = parent + name;
        if (createDirectory(ExtendedLengthPath(path).c_str(), &attributes)) {
            return PrivateFolder{name, path + L'\\', ERROR_SUCCESS};
        }
        folder.error = ::GetLastError();
        if (folder.error != ERROR_ALREADY_EXISTS) {
            return folder;
        }
    }
    return folder;
}

// The store's security as the test build of the launcher reads it,
// replacing deploy/store_security.cpp. Wine makes the prefix's one account
// the owner of every object and puts it in every access list; read as it
// is, no store would ever be trusted. So that account is read as
//   QX_STORE_ACCOUNT  a SID in SDDL ("BA", "BU", "S-1-5-21-..."); by
//                     default the Administrators ("BA")
// and everything else as Wine reports it.
#include "store.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

std::wstring EnvironmentText(const wchar_t* name, const wchar_t* fallback)
{
    wchar_t value[256] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 256);
    return length == 0 || length >= 256 ? std::wstring(fallback) : std::wstring(value, length);
}

std::wstring ThisAccountSid()
{
    UniqueKernelHandle token;
    unsigned char buffer[256] = {};
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())
        || !::GetTokenInformation(token.get(), ::TokenUser, buffer, sizeof buffer, &size)
        || !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        return std::wstring();
    }
    const UniqueLocalMemory owned(text);
    return text;
}

} // namespace

UniqueLocalMemory ReadFolderSecurity(HANDLE folder)
{
    constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    UniqueLocalMemory real;
    wchar_t* text = nullptr;
    if (::GetSecurityInfo(folder, SE_FILE_OBJECT, kParts, nullptr, nullptr, nullptr, nullptr, real.put())
            != ERROR_SUCCESS
        || !::ConvertSecurityDescriptorToStringSecurityDescriptorW(real.get(), SDDL_REVISION_1, kParts, &text,
                                                                   nullptr)) {
        return UniqueLocalMemory();
    }
    const UniqueLocalMemory ownedText(text);
    std::wstring sddl = text;
    const std::wstring account = ThisAccountSid();
    const std::wstring standIn = EnvironmentText(L"QX_STORE_ACCOUNT", L"BA");
    for (std::size_t at = 0; !account.empty() && (at = sddl.find(account, at)) != std::wstring::npos;
         at += standIn.size()) {
        sddl.replace(at, account.size(), standIn);
    }
    UniqueLocalMemory readAs;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, readAs.put(), nullptr);
    return readAs;
}

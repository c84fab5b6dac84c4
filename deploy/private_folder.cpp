#include "private_folder.h"

#include "long_path.h"
#include "support/system_function.h"
#include "support/unique_handle.h"

#include <ntsecapi.h>
#include <sddl.h>

namespace {

// A name is drawn again only when one exists already; this many clashes
// of 64 random bits mean the random source is broken.
constexpr int kNameAttempts = 16;

} // namespace

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

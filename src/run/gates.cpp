#include "run/gates.h"

#include "log/debug_log.h"
#include "registry/reg_util.h"
#include "run/outcome.h"
#include "support/system_function.h"

#include <windows.h>

namespace {

constexpr const wchar_t* kSystemInfoKey = L"SystemInfo";
constexpr std::int32_t kRequiredMajor = 9;
constexpr std::int32_t kRequiredMinor = 1;
constexpr std::int32_t kRequiredPatch = 3;

// Folds only A to Z, so no locale can make another character match.
wchar_t AsciiLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool IsSilentSwitch(const wchar_t* argument)
{
    if (!argument) {
        return false;
    }
    const wchar_t* expected = L"/s";
    for (; *expected; ++argument, ++expected) {
        if (AsciiLower(*argument) != *expected) {
            return false;
        }
    }
    return *argument == L'\0';
}

struct InstalledRelease {
    std::int32_t major;
    std::int32_t minor;
    std::int32_t patch;
};

InstalledRelease ReadInstalledRelease()
{
    CQXRegUtil registry(HKEY_LOCAL_MACHINE, false);
    return InstalledRelease{registry.GetRegDWORD(kSystemInfoKey, L"MajorVersion"),
                            registry.GetRegDWORD(kSystemInfoKey, L"MinorVersion"),
                            registry.GetRegDWORD(kSystemInfoKey, L"PatchVersion")};
}

bool IsHotfixRelease(const InstalledRelease& release)
{
    return release.major == kRequiredMajor && release.minor == kRequiredMinor && release.patch == kRequiredPatch;
}

std::int32_t ReadProductType()
{
    CQXRegUtil registry(HKEY_LOCAL_MACHINE, false);
    return registry.GetRegDWORD(L"", L"ProductType");
}

} // namespace

[[noreturn]] void RaiseOutcome(OutcomeCode code)
{
    throw code;
}

bool IsSilentMode(int argc, const wchar_t* const* argv)
{
    for (int index = 1; index < argc; ++index) {
        if (IsSilentSwitch(argv[index])) {
            DebugLogPrintf(L"[info]: Silent Mode");
            return true;
        }
    }
    DebugLogPrintf(L"[info]: Normal Mode");
    return false;
}

bool IsApplicableRelease()
{
    return IsHotfixRelease(ReadInstalledRelease());
}

bool ReadsAsProductType1()
{
    return ReadProductType() == 1;
}

void CheckApplicableVersion()
{
    const InstalledRelease release = ReadInstalledRelease();
    DebugLogPrintf(L"[info]: MajorVersion, %d, MinorVersion, %d, PatchVersion, %d", release.major, release.minor,
                   release.patch);
    if (IsHotfixRelease(release)) {
        return;
    }
    DebugLogPrintf(L"[error]: This Version of Quorvex is not applicable.");
    RaiseOutcome(kOutcomeFailed);
}

bool IsProductType1()
{
    const std::int32_t productType = ReadProductType();
    DebugLogPrintf(L"[info]: ProductType, %d", productType);
    return productType == 1;
}

bool IsNativeX64()
{
    using GetNativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);
    SYSTEM_INFO info = {};
    const auto getNativeSystemInfo =
        LookUpSystemFunction<GetNativeSystemInfoFunction>(L"kernel32", "GetNativeSystemInfo");
    if (getNativeSystemInfo) {
        getNativeSystemInfo(&info);
    } else {
        ::GetSystemInfo(&info);
    }
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

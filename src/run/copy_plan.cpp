#include "run/copy_plan.h"

#include "run/folder_copy.h"
#include "run/install_paths.h"

#include <string>
#include <vector>

namespace {

constexpr bool k64BitView = true;
constexpr bool kDefaultView = false;

struct CopyPair {
    std::wstring destination;
    std::wstring source;
};

// Each resolver finds the destination first, then the shipped source folder.

CopyPair ResolveLicenserPair(bool use64BitView, const wchar_t* subFolder)
{
    CopyPair pair;
    GetLicenserInstallPath(pair.destination, use64BitView);
    GetModulesPath(pair.source, subFolder);
    return pair;
}

CopyPair ResolveActivatorPair(const wchar_t* subFolder)
{
    CopyPair pair;
    GetActivatorInstallPath(pair.destination);
    GetModulesPath(pair.source, subFolder);
    return pair;
}

CopyPair ResolveModulePair(bool use64BitView, const wchar_t* subFolder)
{
    CopyPair pair;
    GetModuleInstallPath(pair.destination, use64BitView);
    GetModulesPath(pair.source, subFolder);
    return pair;
}

// The default view of this 32-bit process is the 32-bit one, so the 64-bit
// installation is reached only through the 64-bit view on an x64 machine.
std::vector<CopyPair> ResolvePlan(bool productType1, bool nativeX64)
{
    std::vector<CopyPair> plan;
    if (productType1 && nativeX64) {
        plan.push_back(ResolveLicenserPair(k64BitView, L"modules\\bin_x64\\"));
    }
    if (productType1) {
        plan.push_back(ResolveLicenserPair(kDefaultView, L"modules\\bin\\"));
        plan.push_back(ResolveActivatorPair(L"modules\\zfa_act\\"));
    }
    if (nativeX64) {
        plan.push_back(ResolveModulePair(k64BitView, L"modules\\181235_bin_x64\\"));
    }
    plan.push_back(ResolveModulePair(kDefaultView, L"modules\\181235_bin\\"));
    return plan;
}

} // namespace

void ApplyCopyPlan(bool productType1, bool nativeX64)
{
    // Every folder is resolved, every shipped folder listed and every file
    // checked before the first copy, in the order the copy takes them: a
    // failure that can be seen in advance leaves the install folders as they
    // were, instead of holding new and old modules side by side.
    const std::vector<CopyPair> plan = ResolvePlan(productType1, nativeX64);
    for (const CopyPair& pair : plan) {
        CheckFolderFiles(pair.source, pair.destination);
    }
    for (const CopyPair& pair : plan) {
        CopyFolderFiles(pair.source, pair.destination);
    }
}

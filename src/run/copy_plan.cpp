#include "run/copy_plan.h"

#include "run/folder_copy.h"
#include "run/gates.h"
#include "run/install_paths.h"

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr bool k64BitView = true;
constexpr bool kDefaultView = false;

// Where a pair copies to: which install folder, read in which view.
enum class Destination { kLicenser, kActivator, kModule };

struct PlannedPair {
    Destination destination;
    bool use64BitView;
    const wchar_t* subFolder;
};

// The default view of this 32-bit process is the 32-bit one, so the 64-bit
// installation is reached only through the 64-bit view on an x64 machine.
std::vector<PlannedPair> PlannedPairs(bool productType1, bool nativeX64)
{
    std::vector<PlannedPair> plan;
    if (productType1 && nativeX64) {
        plan.push_back({Destination::kLicenser, k64BitView, L"modules\\bin_x64\\"});
    }
    if (productType1) {
        plan.push_back({Destination::kLicenser, kDefaultView, L"modules\\bin\\"});
        plan.push_back({Destination::kActivator, kDefaultView, L"modules\\zfa_act\\"});
    }
    if (nativeX64) {
        plan.push_back({Destination::kModule, k64BitView, L"modules\\181235_bin_x64\\"});
    }
    plan.push_back({Destination::kModule, kDefaultView, L"modules\\181235_bin\\"});
    return plan;
}

// Finds the destination first, then the shipped source folder, logging
// each; raises where a folder cannot be told.
CopyPair ResolvePair(const PlannedPair& planned)
{
    CopyPair pair;
    switch (planned.destination) {
    case Destination::kLicenser:
        GetLicenserInstallPath(pair.destination, planned.use64BitView);
        break;
    case Destination::kActivator:
        GetActivatorInstallPath(pair.destination);
        break;
    case Destination::kModule:
        GetModuleInstallPath(pair.destination, planned.use64BitView);
        break;
    }
    GetModulesPath(pair.source, planned.subFolder);
    return pair;
}

std::wstring FindDestination(const PlannedPair& planned)
{
    switch (planned.destination) {
    case Destination::kLicenser:
        return FindLicenserInstallPath(planned.use64BitView);
    case Destination::kActivator:
        return FindActivatorInstallPath();
    case Destination::kModule:
        return FindModuleInstallPath(planned.use64BitView);
    }
    return std::wstring();
}

std::vector<CopyPair> ResolvePlan(bool productType1, bool nativeX64)
{
    std::vector<CopyPair> plan;
    for (const PlannedPair& planned : PlannedPairs(productType1, nativeX64)) {
        plan.push_back(ResolvePair(planned));
    }
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

std::optional<std::vector<CopyPair>> FindCopyPlan(const std::wstring& executableFolder)
{
    if (!IsApplicableRelease()) {
        return std::nullopt;
    }
    std::vector<CopyPair> plan;
    for (const PlannedPair& planned : PlannedPairs(ReadsAsProductType1(), IsNativeX64())) {
        CopyPair pair{FindDestination(planned), executableFolder + planned.subFolder};
        if (pair.destination.empty()) {
            return std::nullopt;
        }
        plan.push_back(std::move(pair));
    }
    return plan;
}

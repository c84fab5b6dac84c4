#pragma once

#include <optional>
#include <string>
#include <vector>

// Resolves the source and destination folder of every pair planned for the
// product type and architecture, lists and checks every pair's files, then
// copies the pairs in a fixed order. Returns when every pair was copied;
// raises the failed outcome at the first folder that cannot be resolved or
// listed and at the first file that the check refuses (nothing copied yet),
// or at a copy that fails all the same (what was copied stays).
void ApplyCopyPlan(bool productType1, bool nativeX64);

// One folder pair of the plan; both folders end with a backslash.
struct CopyPair {
    std::wstring destination;
    std::wstring source;
};

// The pairs that a run of the exe in executableFolder (with its backslash)
// would copy on this machine, in the run's order, found with the run's own
// reads and rules but without any log entry. Nothing when the release is not
// 9.1.3 or a destination cannot be told: such a run copies nothing.
std::optional<std::vector<CopyPair>> FindCopyPlan(const std::wstring& executableFolder);

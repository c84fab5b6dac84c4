#pragma once

// Resolves the source and destination folder of every pair planned for the
// product type and architecture, then copies the pairs in a fixed order.
// Returns when every pair was copied; raises the failed outcome at the first
// folder that cannot be resolved (nothing copied yet) or the first failed
// copy (what was copied stays).
void ApplyCopyPlan(bool productType1, bool nativeX64);

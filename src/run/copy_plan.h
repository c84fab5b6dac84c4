#pragma once

// Resolves the source and destination folder of every pair planned for the
// product type and architecture, lists and checks every pair's files, then
// copies the pairs in a fixed order. Returns when every pair was copied;
// raises the failed outcome at the first folder that cannot be resolved or
// listed and at the first file that the check refuses (nothing copied yet),
// or at a copy that fails all the same (what was copied stays).
void ApplyCopyPlan(bool productType1, bool nativeX64);

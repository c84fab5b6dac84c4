#pragma once

#include <cstdint>

// The run ends by raising its outcome as an exception of exactly this type;
// wmain turns it into the process exit code.
using OutcomeCode = std::int32_t;

inline constexpr OutcomeCode kOutcomeApplied = 0;
inline constexpr OutcomeCode kOutcomeFailed = 1;

[[noreturn]] void RaiseOutcome(OutcomeCode code);

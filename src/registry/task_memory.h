#pragma once

#include <cstddef>

// Allocates registry text with the COM task allocator (freed with
// CoTaskMemFree); null when memory is exhausted. Kept in a file of its own
// so that fault-injection builds can link a failing one instead.
void* AllocateTaskMemory(std::size_t bytes) noexcept;

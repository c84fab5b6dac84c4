#include "registry/task_memory.h"

#include <objbase.h>

void* AllocateTaskMemory(std::size_t bytes) noexcept
{
    return ::CoTaskMemAlloc(bytes);
}

#pragma once

#include <windows.h>

// A function of an already loaded system module, or null where this
// version of Windows lacks it.
template <typename Function> Function LookUpSystemFunction(const wchar_t* moduleName, const char* functionName) noexcept
{
    const HMODULE module = ::GetModuleHandleW(moduleName);
    if (!module) {
        return nullptr;
    }
    // Through the generic function type, which converts to any other.
    const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(module, functionName));
    return reinterpret_cast<Function>(generic);
}

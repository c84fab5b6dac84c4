#pragma once

#include <windows.h>

namespace system_function_detail {

template <typename Function> Function ProcedureOf(HMODULE module, const char* functionName) noexcept
{
    if (!module) {
        return nullptr;
    }
    // Through the generic function type, which converts to any other.
    const auto generic = reinterpret_cast<void (*)()>(::GetProcAddress(module, functionName));
    return reinterpret_cast<Function>(generic);
}

} // namespace system_function_detail

// A function of a module that the caller loaded; null when the module or
// the function is missing.
template <typename Function> Function FunctionOfModule(HMODULE module, const char* functionName) noexcept
{
    return system_function_detail::ProcedureOf<Function>(module, functionName);
}

// A function of an already loaded system module, or null where this
// version of Windows lacks it.
template <typename Function> Function LookUpSystemFunction(const wchar_t* moduleName, const char* functionName) noexcept
{
    return system_function_detail::ProcedureOf<Function>(::GetModuleHandleW(moduleName), functionName);
}

// A function of the module at modulePath, a full path, loaded on first use
// so that runs which never call it do not pay for loading it; null when the
// module or the function cannot be had. The module stays loaded for the rest
// of the process: work it started, such as threads of its own, may outlive
// the call.
template <typename Function> Function LoadSystemFunction(const wchar_t* modulePath, const char* functionName) noexcept
{
    return system_function_detail::ProcedureOf<Function>(::LoadLibraryW(modulePath), functionName);
}

// Fault injection for the whole-run allocation test: the run's k-th
// allocation fails, whether it comes through operator new (which then
// raises std::bad_alloc) or through the registry's task allocator (which
// then answers null). k comes from QX_FAIL_ALLOCATION; when the k-th
// allocation is reached, the file named by QX_FAULT_MARKER is created, so
// that the test knows the fault was really injected. Counting starts at the
// entry point, after static initialisation.
#include "registry/task_memory.h"

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <cwchar>
#include <new>

int RunProductMain(int argc, wchar_t* argv[], wchar_t* envp[]);

namespace {

long failingAllocation = 0; // 0: none
long allocationCount = 0;
bool counting = false;

void MarkFaultInjected()
{
    wchar_t marker[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QX_FAULT_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    const HANDLE file = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
    }
}

// True when this allocation is the one that must fail.
bool ThisAllocationFails()
{
    if (!counting) {
        return false;
    }
    if (++allocationCount != failingAllocation) {
        return false;
    }
    MarkFaultInjected();
    return true;
}

void* AllocateOrThrow(std::size_t bytes)
{
    if (ThisAllocationFails()) {
        throw std::bad_alloc();
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (!block) {
        throw std::bad_alloc();
    }
    return block;
}

} // namespace

void* operator new(std::size_t bytes)
{
    return AllocateOrThrow(bytes);
}

void* operator new[](std::size_t bytes)
{
    return AllocateOrThrow(bytes);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}

void* AllocateTaskMemory(std::size_t bytes) noexcept
{
    return ThisAllocationFails() ? nullptr : ::CoTaskMemAlloc(bytes);
}

int wmain(int argc, wchar_t* argv[], wchar_t* envp[])
{
    wchar_t value[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QX_FAIL_ALLOCATION", value, 32);
    if (length != 0 && length < 32) {
        failingAllocation = std::wcstol(value, nullptr, 10);
    }
    counting = true;
    return RunProductMain(argc, argv, envp);
}

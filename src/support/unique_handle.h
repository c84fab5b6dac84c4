#pragma once

#include <windows.h>

// One move-only owner per kind of Windows handle. Each kind carries its own
// "no handle" value, and reset() may be called any number of times.
template <typename Traits> class UniqueHandle {
  public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

    // Closes the current handle and returns the slot for an API to fill.
    Handle* put() noexcept
    {
        reset();
        return &handle_;
    }

    Handle release() noexcept
    {
        const Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void reset(Handle handle = Traits::Invalid()) noexcept
    {
        if (handle_ != Traits::Invalid()) {
            Traits::Close(handle_);
        }
        handle_ = handle;
    }

  private:
    Handle handle_ = Traits::Invalid();
};

struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};

// Handles of kernel objects that are null when absent (mutexes, processes).
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) noexcept { ::FindClose(handle); }
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { ::RegCloseKey(handle); }
};

// Memory that a system call allocated for its caller with LocalAlloc: a
// security descriptor from the SDDL converter, a system message.
struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle memory) noexcept { ::LocalFree(memory); }
};

using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

// Holds a critical section for the lifetime of the guard, on every way out.
class CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) noexcept : section_(section)
    {
        ::EnterCriticalSection(&section_);
    }
    ~CriticalSectionLock() { ::LeaveCriticalSection(&section_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CRITICAL_SECTION& section_;
};

// holdfile: keeps a file open with no sharing, so that every other open of
// it fails with a sharing violation, for a given time; or keeps a module
// loaded, as a running program of the product keeps its DLLs; or holds a
// named mutex, as another hotfix run (or another account's run) holds its
// lock.
//
// Usage: holdfile [--create] [--read | --delete] PATH MILLISECONDS
//        holdfile --load PATH MILLISECONDS
//        holdfile --mutex ACCESS_LIST NAME MILLISECONDS
//
// Opens an existing file (--create: creates it when missing) for reading
// and writing with share mode 0 (--read: for reading only, sharing every
// way, as a log viewer or a tail watches a file; --delete: for reading and
// deleting, sharing every way, as a sync client or a scanner that may move
// the file holds it), or loads the DLL at PATH
// with LoadLibraryW, or creates and owns the mutex with the access list in
// SDDL ("-": the default one). Prints "held" on a line of
// its own once it holds, waits, lets go and prints "released". Exit code 1
// with a message on standard error when it cannot hold.
#include "tool_support.h"

#include <sddl.h>

#include <cwchar>

namespace {

constexpr const char* kTool = "holdfile";

void SayLine(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

DWORD Milliseconds(const wchar_t* text)
{
    wchar_t* end = nullptr;
    const unsigned long milliseconds = std::wcstoul(text, &end, 10);
    if (*text == L'\0' || *end != L'\0') {
        Fail(kTool, "MILLISECONDS must be a decimal number");
    }
    return static_cast<DWORD>(milliseconds);
}

int HoldMutex(const wchar_t* accessList, const wchar_t* name, DWORD milliseconds)
{
    UniqueLocalMemory descriptor;
    if (std::wcscmp(accessList, L"-") != 0
        && !::ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList, SDDL_REVISION_1, descriptor.put(),
                                                                   nullptr)) {
        Fail(kTool, ErrorText("ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError()));
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    const UniqueObjectHandle mutex(::CreateMutexW(descriptor ? &attributes : nullptr, TRUE, name));
    if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        Fail(kTool, ErrorText("CreateMutexW", ::GetLastError()));
    }
    SayLine("held");
    ::Sleep(milliseconds);
    ::ReleaseMutex(mutex.get());
    SayLine("released");
    return 0;
}

int HoldModule(const wchar_t* path, DWORD milliseconds)
{
    const HMODULE module = ::LoadLibraryW(path);
    if (!module) {
        Fail(kTool, ErrorText("LoadLibraryW", ::GetLastError()));
    }
    SayLine("held");
    ::Sleep(milliseconds);
    ::FreeLibrary(module);
    SayLine("released");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc == 5 && std::wcscmp(argv[1], L"--mutex") == 0) {
        return HoldMutex(argv[2], argv[3], Milliseconds(argv[4]));
    }
    if (argc == 4 && std::wcscmp(argv[1], L"--load") == 0) {
        return HoldModule(argv[2], Milliseconds(argv[3]));
    }
    int next = 1;
    bool create = false;
    if (next < argc && std::wcscmp(argv[next], L"--create") == 0) {
        create = true;
        ++next;
    }
    bool read = false;
    bool remove = false;
    if (next < argc && std::wcscmp(argv[next], L"--read") == 0) {
        read = true;
        ++next;
    } else if (next < argc && std::wcscmp(argv[next], L"--delete") == 0) {
        remove = true;
        ++next;
    }
    if (argc - next != 2) {
        Fail(kTool, "usage: holdfile [--create] [--read | --delete] PATH MILLISECONDS | holdfile --load PATH "
                    "MILLISECONDS | holdfile --mutex ACCESS_LIST NAME MILLISECONDS");
    }
    const wchar_t* path = argv[next];
    const DWORD milliseconds = Milliseconds(argv[next + 1]);

    {
        constexpr DWORD kEveryWay = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        const DWORD access = read ? GENERIC_READ : remove ? GENERIC_READ | DELETE : GENERIC_READ | GENERIC_WRITE;
        const DWORD sharing = read || remove ? kEveryWay : 0;
        const UniqueFileHandle file(::CreateFileW(path, access, sharing, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            Fail(kTool, ErrorText("CreateFileW", ::GetLastError()));
        }
        SayLine("held");
        ::Sleep(milliseconds);
    }
    SayLine("released");
    return 0;
}

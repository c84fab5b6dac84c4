// holdfile: keeps a file open with no sharing, so that every other open of
// it fails with a sharing violation, for a given time.
//
// Usage: holdfile [--create] PATH MILLISECONDS
//
// Opens an existing file (--create: creates it when missing) for reading
// and writing with share mode 0, prints "held" on a line of its own once
// the file is held, waits, closes it and prints "released". Exit code 1
// with a message on standard error when the file cannot be opened.
#include "tool_support.h"

#include <cwchar>

namespace {

constexpr const char* kTool = "holdfile";

void SayLine(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    int next = 1;
    bool create = false;
    if (next < argc && std::wcscmp(argv[next], L"--create") == 0) {
        create = true;
        ++next;
    }
    if (argc - next != 2) {
        Fail(kTool, "usage: holdfile [--create] PATH MILLISECONDS");
    }
    const wchar_t* path = argv[next];
    wchar_t* end = nullptr;
    const unsigned long milliseconds = std::wcstoul(argv[next + 1], &end, 10);
    if (*argv[next + 1] == L'\0' || *end != L'\0') {
        Fail(kTool, "MILLISECONDS must be a decimal number");
    }

    {
        const UniqueFileHandle file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
        if (!file) {
            Fail(kTool, ErrorText("CreateFileW", ::GetLastError()));
        }
        SayLine("held");
        ::Sleep(static_cast<DWORD>(milliseconds));
    }
    SayLine("released");
    return 0;
}

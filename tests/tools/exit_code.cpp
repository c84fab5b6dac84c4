// exit_code: a stand-in for qxhotfix.exe that ends with a chosen exit code.
// It writes a one-line log, named as the hotfix names its logs, into its
// current folder, and exits with the code in QX_EXIT_CODE (decimal, or hex
// after 0x; 0 when unset), which reaches it through its parent's
// environment.
#include <windows.h>

#include <cwchar>

namespace {

DWORD ChosenExitCode()
{
    wchar_t value[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QX_EXIT_CODE", value, 32);
    return length == 0 || length >= 32 ? 0 : static_cast<DWORD>(std::wcstoul(value, nullptr, 0));
}

void WriteLog()
{
    const HANDLE file = ::CreateFileW(L"qx913hotfix2_20260101_000000.log", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const char text[] = "exit_code stand-in\r\n";
    DWORD written = 0;
    ::WriteFile(file, text, sizeof text - 1, &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

int wmain()
{
    WriteLog();
    ::ExitProcess(ChosenExitCode());
}

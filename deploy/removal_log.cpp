#include "removal_log.h"

#include "log/debug_log_internal.h"
#include "support/module_path.h"

#include <cstdio>

namespace {

// Room for the user name, terminator included, as the exe's log has.
constexpr DWORD kUserNameRoom = 40;

std::wstring LogName()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t name[64] = {};
    std::swprintf(name, 64, L"qx913hotfix2_uninstall_%04u%02u%02u_%02u%02u%02u.log", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    return name;
}

std::wstring UserName()
{
    wchar_t name[kUserNameRoom] = {};
    DWORD room = kUserNameRoom;
    return ::GetUserNameW(name, &room) ? std::wstring(name) : std::wstring();
}

} // namespace

RemovalLog::RemovalLog(const std::wstring& folder)
    : name_(LogName()), file_(folder.empty() ? std::wstring() : folder + name_)
{
}

void RemovalLog::Write(const std::wstring& entry)
{
    if (!started_) {
        started_ = true;
        WriteLine(L"#InitialInfo," + GetExecutablePath() + L"," + UserName());
    }
    WriteLine(entry);
}

void RemovalLog::WriteError(const wchar_t* call, DWORD error)
{
    wchar_t code[16] = {};
    std::swprintf(code, 16, L"0x%08x", static_cast<unsigned int>(error));
    Write(L"[error]: " + std::wstring(call) + L", GetLastError, " + code);
}

void RemovalLog::WriteLine(const std::wstring& text)
{
    if (file_.Path().empty()) {
        return;
    }
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t prefix[kLinePrefixRoom] = {};
    const std::wstring line = std::wstring(prefix, FormatLinePrefix(now, prefix)) + text + L"\r\n";
    file_.Append(line.c_str());
}

std::wstring ResultEntry(const wchar_t* call, const std::wstring& path, bool succeeded)
{
    return L"[info]: " + std::wstring(call) + L", \"" + path + L"\", result , " + (succeeded ? L"1" : L"0") + L", ";
}

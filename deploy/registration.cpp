#include "registration.h"

#include "company.h"
#include "support/unique_handle.h"

#include <utility>

namespace {

// The 32-bit view on every machine, where a 32-bit installer registers.
constexpr REGSAM k32BitView = KEY_WOW64_32KEY;

#define QX_WIDE_(text) L##text
#define QX_WIDE(text) QX_WIDE_(text)
constexpr const wchar_t* kPublisher = QX_WIDE(QX_COMPANY_NAME);

DWORD SetText(HKEY key, const wchar_t* name, const std::wstring& text)
{
    const DWORD bytes = static_cast<DWORD>(text.size() + 1) * static_cast<DWORD>(sizeof(wchar_t));
    return static_cast<DWORD>(
        ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}

DWORD SetNumber(HKEY key, const wchar_t* name, DWORD number)
{
    return static_cast<DWORD>(
        ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number));
}

// The number with leading zeros to the given width.
std::wstring Padded(unsigned int number, std::wstring::size_type width)
{
    const std::wstring digits = std::to_wstring(number);
    return std::wstring(width > digits.size() ? width - digits.size() : 0, L'0') + digits;
}

// "YYYYMMDD", as installers write InstallDate.
std::wstring InstallDate(const SYSTEMTIME& time)
{
    return Padded(time.wYear, 4) + Padded(time.wMonth, 2) + Padded(time.wDay, 2);
}

// Writes every value into the new, empty key; stops at the first failure.
DWORD WriteValues(HKEY key, const Registration& registration)
{
    const std::wstring uninstall = L"\"" + registration.uninstaller + L"\" /uninstall";
    const std::pair<const wchar_t*, std::wstring> texts[] = {
        {L"DisplayName", L"Quorvex 9.1.3 Hotfix"},
        {L"DisplayVersion", HotfixFileVersion()},
        {L"Publisher", kPublisher},
        {L"InstallDate", InstallDate(registration.installed)},
        {L"InstallLocation", registration.store},
        {L"UninstallString", uninstall},
        {L"QuietUninstallString", uninstall},
    };
    for (const auto& [name, text] : texts) {
        if (const DWORD error = SetText(key, name, text)) {
            return error;
        }
    }
    const std::pair<const wchar_t*, DWORD> numbers[] = {
        {L"NoModify", 1}, {L"NoRepair", 1}, {L"EstimatedSize", registration.estimatedSizeKiB}};
    for (const auto& [name, number] : numbers) {
        if (const DWORD error = SetNumber(key, name, number)) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

} // namespace

std::wstring HotfixFileVersion()
{
    return std::to_wstring(QX_VERSION_MAJOR) + L"." + std::to_wstring(QX_VERSION_MINOR) + L"."
           + std::to_wstring(QX_VERSION_PATCH) + L"." + std::to_wstring(QX_VERSION_TWEAK);
}

DWORD RegisterHotfix(const Registration& registration, const wchar_t* keyPath)
{
    DWORD error = UnregisterHotfix(keyPath);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    UniqueRegKey key;
    error = static_cast<DWORD>(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                 KEY_SET_VALUE | k32BitView, nullptr, key.put(), nullptr));
    if (error == ERROR_SUCCESS) {
        error = WriteValues(key.get(), registration);
    }
    if (error != ERROR_SUCCESS) {
        key.reset();
        UnregisterHotfix(keyPath);
    }
    return error;
}

DWORD UnregisterHotfix(const wchar_t* keyPath)
{
    const std::wstring path = keyPath;
    const std::wstring::size_type slash = path.rfind(L'\\');
    UniqueRegKey parent;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, slash).c_str(), 0,
                                  KEY_READ | KEY_SET_VALUE | DELETE | k32BitView, parent.put());
    if (result == ERROR_SUCCESS) {
        result = ::RegDeleteTreeW(parent.get(), path.substr(slash + 1).c_str());
    }
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(result);
}

bool IsHotfixRegistered(const wchar_t* keyPath)
{
    UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | k32BitView, key.put()) == ERROR_SUCCESS;
}

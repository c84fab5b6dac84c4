#include "registry/reg_util.h"

#include "registry/task_memory.h"
#include "support/unique_handle.h"

#include <objbase.h>

#include <cstring>

namespace {

// The default view is named explicitly as the 32-bit one: it is what the
// 32-bit program reads on either kind of machine (32-bit Windows ignores the
// flag), and a 64-bit build of these sources must read the same.
constexpr REGSAM kReadAccess32 = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM kReadAccess64 = KEY_READ | KEY_WOW64_64KEY;

// A zero-filled block from the COM task allocator, or null.
void* AllocateZeroed(std::size_t bytes) noexcept
{
    void* block = AllocateTaskMemory(bytes);
    if (block) {
        std::memset(block, 0, bytes);
    }
    return block;
}

// Room for a REG_SZ of the given byte count plus one whole terminator, so
// that data without one, or with an odd byte count, still ends in a null.
std::size_t StringRoomFor(DWORD dataBytes) noexcept
{
    const std::size_t units = (static_cast<std::size_t>(dataBytes) + 1) / sizeof(wchar_t);
    return (units + 1) * sizeof(wchar_t);
}

} // namespace

CQXRegUtil::CStrBuf::~CStrBuf()
{
    ::CoTaskMemFree(text_);
}

void CQXRegUtil::CStrBuf::SetEmpty() noexcept
{
    Attach(static_cast<wchar_t*>(AllocateZeroed(sizeof(wchar_t))));
}

void CQXRegUtil::CStrBuf::Attach(wchar_t* text) noexcept
{
    ::CoTaskMemFree(text_);
    text_ = text;
}

wchar_t* CQXRegUtil::CStrBuf::Release() noexcept
{
    wchar_t* text = text_;
    text_ = nullptr;
    return text;
}

CQXRegUtil::CQXRegUtil(HKEY rootKey, bool use64BitView) noexcept
    : rootKey_(rootKey), use64BitView_(use64BitView ? 1 : 0)
{
}

CQXRegUtil::~CQXRegUtil() = default;

HKEY CQXRegUtil::OpenProductSubKey(const wchar_t* subKey) const noexcept
{
    // The sub-key is opened below the opened product key rather than by a
    // joined path, so that a read needs no memory of its own: a number read
    // then cannot come back as 0 merely because memory ran short.
    const REGSAM access = use64BitView_ ? kReadAccess64 : kReadAccess32;
    HKEY productKey = nullptr;
    if (::RegOpenKeyExW(rootKey_, kProductKey, 0, access, &productKey) != ERROR_SUCCESS) {
        return nullptr;
    }
    if (!subKey || !*subKey) {
        return productKey;
    }
    const UniqueRegKey product(productKey);
    HKEY key = nullptr;
    if (::RegOpenKeyExW(product.get(), subKey, 0, access, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

const wchar_t* CQXRegUtil::GetRegString(const wchar_t* subKey, const wchar_t* valueName) noexcept
{
    stringResult_.SetEmpty();
    if (!valueName) {
        return stringResult_.Text();
    }
    const UniqueRegKey key(OpenProductSubKey(subKey));
    if (!key) {
        return stringResult_.Text();
    }
    DWORD type = 0;
    DWORD dataBytes = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &dataBytes) != ERROR_SUCCESS || type != REG_SZ
        || dataBytes == 0) {
        return stringResult_.Text();
    }
    CStrBuf data;
    data.Attach(static_cast<wchar_t*>(AllocateZeroed(StringRoomFor(dataBytes))));
    if (!data.Text()) {
        return stringResult_.Text();
    }
    auto* bytes = reinterpret_cast<BYTE*>(data.Text());
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, bytes, &dataBytes) == ERROR_SUCCESS
        && type == REG_SZ) {
        stringResult_.Attach(data.Release());
    }
    return stringResult_.Text();
}

std::int32_t CQXRegUtil::GetRegDWORD(const wchar_t* subKey, const wchar_t* valueName) noexcept
{
    numberResult_ = 0;
    if (!valueName) {
        return numberResult_;
    }
    const UniqueRegKey key(OpenProductSubKey(subKey));
    if (!key) {
        return numberResult_;
    }
    DWORD type = 0;
    DWORD number = 0;
    DWORD dataBytes = sizeof(number);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&number), &dataBytes)
            == ERROR_SUCCESS
        && type == REG_DWORD && dataBytes == sizeof(number)) {
        numberResult_ = static_cast<std::int32_t>(number);
    }
    return numberResult_;
}

#pragma once

#include <windows.h>

#include <cstdint>

// The product's registry key, under which every read names a sub-key or none.
inline constexpr const wchar_t* kProductKey = L"Software\\VELTRANE\\TQR3";

// Reads one string or 32-bit number under the product key, in the registry
// view chosen at construction. Never raises: a value that cannot be read
// comes back as "" or 0, and the caller decides what that means.
class CQXRegUtil {
  public:
    // Owns one COM-task-allocated wide string (or none).
    class CStrBuf {
      public:
        CStrBuf() noexcept = default;
        virtual ~CStrBuf();
        CStrBuf(const CStrBuf&) = delete;
        CStrBuf& operator=(const CStrBuf&) = delete;

        // Replaces the text with an empty one; a failed allocation leaves no text.
        void SetEmpty() noexcept;

        // Takes ownership of a CoTaskMemAlloc block, freeing the current text.
        void Attach(wchar_t* text) noexcept;

        // Gives up ownership of the text, leaving none.
        wchar_t* Release() noexcept;

        const wchar_t* Text() const noexcept { return text_; }
        wchar_t* Text() noexcept { return text_; }

      private:
        wchar_t* text_ = nullptr;
    };

    CQXRegUtil(HKEY rootKey, bool use64BitView) noexcept;
    virtual ~CQXRegUtil();
    CQXRegUtil(const CQXRegUtil&) = delete;
    CQXRegUtil& operator=(const CQXRegUtil&) = delete;

    // The REG_SZ value's text up to its first null character, or "".
    // The text belongs to the reader and lives until its next string read.
    // Null only when not even the empty text could be allocated.
    const wchar_t* GetRegString(const wchar_t* subKey, const wchar_t* valueName) noexcept;

    // The REG_DWORD value of exactly four bytes, or 0.
    std::int32_t GetRegDWORD(const wchar_t* subKey, const wchar_t* valueName) noexcept;

  private:
    HKEY OpenProductSubKey(const wchar_t* subKey) const noexcept;

    HKEY rootKey_;
    CStrBuf stringResult_;
    std::int32_t numberResult_ = 0;
    std::int32_t use64BitView_;
};

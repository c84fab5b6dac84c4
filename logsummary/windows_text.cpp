#include "windows_text.h"

#include "support/unique_handle.h"

#include <cstdio>

namespace {

bool IsBlank(wchar_t character)
{
    return character == L' ' || character == L'\t' || character == L'\r' || character == L'\n';
}

// Each run of blanks and line breaks as one space, none at either end.
std::wstring OnOneLine(std::wstring_view text)
{
    std::wstring line;
    bool blankPending = false;
    for (const wchar_t character : text) {
        if (IsBlank(character)) {
            blankPending = !line.empty();
            continue;
        }
        if (blankPending) {
            line += L' ';
            blankPending = false;
        }
        line += character;
    }
    return line;
}

} // namespace

std::wstring SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const UniqueLocalMemory owner(text);
    if (length == 0 || !text) {
        return std::wstring();
    }
    return OnOneLine(std::wstring_view(text, length));
}

// What a code means for the hotfix, beyond Windows' own text; null for
// none.
const wchar_t* HotfixAdvice(DWORD code)
{
    switch (code) {
    case ERROR_SHARING_VIOLATION: // a program of the product still runs
    case ERROR_USER_MAPPED_FILE:  // or maps an install file into memory
        return L"Close the product, then run the hotfix again.";
    case ERROR_INVALID_OWNER:
        return L"Another account holds the name of the hotfix's run lock; runs go on without it.";
    default:
        return nullptr;
    }
}

std::wstring ErrorMeaning(DWORD code)
{
    std::wstring meaning = SystemMessage(code);
    if (const wchar_t* advice = HotfixAdvice(code)) {
        meaning += (meaning.empty() ? L"" : L" ") + std::wstring(advice);
    }
    return meaning;
}

std::string ErrorCodeText(DWORD code)
{
    char text[16] = {};
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(code));
    return text;
}

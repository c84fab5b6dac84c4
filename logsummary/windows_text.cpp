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

std::wstring ErrorMeaning(DWORD code)
{
    std::wstring meaning = SystemMessage(code);
    // A program of the product still runs; the hotfix changed nothing.
    if (code == ERROR_SHARING_VIOLATION) {
        meaning += (meaning.empty() ? L"" : L" ") + std::wstring(L"Close the product, then run the hotfix again.");
    }
    return meaning;
}

std::string ErrorCodeText(DWORD code)
{
    char text[16] = {};
    std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(code));
    return text;
}

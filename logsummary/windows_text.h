#pragma once

#include "support/standard_error.h"

#include <windows.h>

#include <string>
#include <string_view>


// The system's message for a Windows error code on one line, its line
// breaks and trailing blanks gone; empty for a code it does not know.
std::wstring SystemMessage(DWORD code);

// What an error code that the hotfix logged means, for the summary: the
// system's message, and for a file in use what the administrator does next.
std::wstring ErrorMeaning(DWORD code);

// "0x00000020", as the hotfix logs error codes.
std::string ErrorCodeText(DWORD code);

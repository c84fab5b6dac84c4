#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// The UTF-8 byte-order mark, which tells spreadsheet programs the encoding.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Text as valid UTF-8 without control characters: every ill-formed
// sequence (its longest valid start, or one byte) and every C0 control or
// DEL becomes U+FFFD, so that hostile bytes can neither break the CSV's
// encoding nor its rows.
std::string CleanText(std::string_view bytes);

// One RFC 4180 record: the cleaned fields, an apostrophe in front of any
// that a spreadsheet would take for a formula, quoted where they hold a
// quote or a comma, joined by commas and ended with CR LF.
std::string CsvRecord(std::initializer_list<std::string_view> fields);

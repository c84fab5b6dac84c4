#include "csv.h"

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// What a lead byte promises: the length of its sequence and the range of
// the byte after it (the later ones are always 80..BF). Length 0: no lead.
struct LeadByte {
    std::size_t length;
    unsigned char secondLowest;
    unsigned char secondHighest;
};

// The well-formed sequences of the Unicode standard (table 3-7), which
// rule out overlong forms, surrogates and code points past U+10FFFF.
LeadByte LeadOf(unsigned char byte)
{
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (byte == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (byte == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (byte >= 0xE1 && byte <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (byte == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (byte >= 0xF1 && byte <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (byte == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

struct Sequence {
    std::size_t length;
    bool wellFormed;
};

// The multi-byte sequence at `at`, or the longest valid start of one.
Sequence MultiByteSequenceAt(std::string_view bytes, std::size_t at)
{
    const LeadByte lead = LeadOf(static_cast<unsigned char>(bytes[at]));
    if (lead.length == 0) {
        return {1, false};
    }
    std::size_t length = 1;
    while (length < lead.length && at + length < bytes.size()) {
        const auto next = static_cast<unsigned char>(bytes[at + length]);
        const unsigned char lowest = length == 1 ? lead.secondLowest : 0x80;
        const unsigned char highest = length == 1 ? lead.secondHighest : 0xBF;
        if (next < lowest || next > highest) {
            return {length, false};
        }
        ++length;
    }
    return {length, length == lead.length};
}

bool IsControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

bool IsPlainNumber(std::string_view field)
{
    if (!field.empty() && (field.front() == '-' || field.front() == '+')) {
        field.remove_prefix(1);
    }
    return !field.empty() && field.find_first_not_of("0123456789") == std::string_view::npos;
}

// A spreadsheet takes a field that begins with = + - or @ for a formula, and
// any machine that may write to the log share can put such text into a log:
// an apostrophe in front keeps it text. A plain number such as -1 stays.
std::string WithoutFormula(std::string field)
{
    if (!field.empty() && std::string_view("=+-@").find(field.front()) != std::string_view::npos
        && !IsPlainNumber(field)) {
        field.insert(0, 1, '\'');
    }
    return field;
}

bool NeedsQuotes(std::string_view field)
{
    return field.find_first_of("\",\r\n") != std::string_view::npos;
}

void AppendField(std::string& record, std::string_view field)
{
    if (!NeedsQuotes(field)) {
        record += field;
        return;
    }
    record += '"';
    for (const char character : field) {
        record += character;
        if (character == '"') {
            record += '"';
        }
    }
    record += '"';
}

} // namespace

std::string CleanText(std::string_view bytes)
{
    std::string clean;
    clean.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            clean += IsControl(byte) ? kReplacementCharacter : bytes.substr(at, 1);
            ++at;
            continue;
        }
        const Sequence sequence = MultiByteSequenceAt(bytes, at);
        clean += sequence.wellFormed ? bytes.substr(at, sequence.length) : kReplacementCharacter;
        at += sequence.length;
    }
    return clean;
}

std::string CsvRecord(std::initializer_list<std::string_view> fields)
{
    std::string record;
    const char* separator = "";
    for (const std::string_view field : fields) {
        record += separator;
        AppendField(record, WithoutFormula(CleanText(field)));
        separator = ",";
    }
    record += "\r\n";
    return record;
}

// regfixture: writes registry fixtures under HKEY_LOCAL_MACHINE from a batch
// file of operations, one a line, so that a whole fixture costs one process.
//
//   set    VIEW KEY NAME TYPE HEX   write a value of any type with raw bytes
//   key    VIEW KEY                 create a key and its parents
//   unset  VIEW KEY NAME            delete one value; a missing one is fine
//   delete VIEW KEY                 delete a key tree; a missing one is fine
//   expect VIEW KEY NAME TYPE HEX   fail unless the value is exactly that
//   absent VIEW KEY [NAME]          fail unless the key (or the value) is missing
//
// VIEW is 32 or 64 (KEY_WOW64_32KEY or KEY_WOW64_64KEY). TYPE is the value
// type as a number (decimal, or hex after 0x), any number at all. HEX is
// the data, two hex digits a byte, "-" for none; the bytes are stored as
// they are: no terminator is added and odd counts stay odd. In KEY and
// NAME, %XX stands for the byte XX of the UTF-8 text (%20 a space, %25 a
// percent sign), and the NAME "@" is the key's unnamed default value.
// Blank lines and lines starting with # are skipped.
//
// Usage: regfixture BATCHFILE (UTF-8). The first failing operation ends
// the run with a message on standard error and exit code 1.
#include "tool_support.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kTool = "regfixture";

// The batch line being run, for messages.
std::size_t currentLine = 0;

[[noreturn]] void FailLine(const std::string& message)
{
    Fail(kTool, "line " + std::to_string(currentLine) + ": " + message);
}

std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t position = 0;
    while (position < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", position);
        if (start == std::string::npos) {
            break;
        }
        std::size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos) {
            end = line.size();
        }
        fields.push_back(line.substr(start, end - start));
        position = end;
    }
    return fields;
}

// Undoes the %XX escapes of a key or value name.
std::wstring Unescape(const std::string& field)
{
    std::string bytes;
    for (std::size_t index = 0; index < field.size(); ++index) {
        if (field[index] != '%') {
            bytes.push_back(field[index]);
            continue;
        }
        const int high = index + 1 < field.size() ? HexDigitValue(field[index + 1]) : -1;
        const int low = index + 2 < field.size() ? HexDigitValue(field[index + 2]) : -1;
        if (high < 0 || low < 0) {
            FailLine("bad %XX escape in \"" + field + "\"");
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
        index += 2;
    }
    return FromUtf8(bytes);
}

std::wstring ValueName(const std::string& field)
{
    return field == "@" ? std::wstring() : Unescape(field);
}

REGSAM ViewFlag(const std::string& field)
{
    if (field == "32") {
        return KEY_WOW64_32KEY;
    }
    if (field == "64") {
        return KEY_WOW64_64KEY;
    }
    FailLine("view must be 32 or 64, not \"" + field + "\"");
}

DWORD ValueType(const std::string& field)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long type = std::strtoull(field.c_str(), &end, 0);
    if (field.empty() || *end != '\0' || errno != 0 || type > 0xFFFFFFFFull) {
        FailLine("bad value type \"" + field + "\"");
    }
    return static_cast<DWORD>(type);
}

std::vector<unsigned char> Data(const std::string& field)
{
    auto bytes = DecodeHex(field);
    if (!bytes) {
        FailLine("bad hex data (need an even count of hex digits, or -)");
    }
    return std::move(*bytes);
}

void CheckFieldCount(const std::vector<std::string>& fields, std::size_t least, std::size_t most)
{
    if (fields.size() < least || fields.size() > most) {
        FailLine("\"" + fields[0] + "\" takes " + std::to_string(least - 1)
                 + (least == most ? "" : " to " + std::to_string(most - 1)) + " fields");
    }
}

UniqueRegKey CreateKey(REGSAM view, const std::wstring& path)
{
    UniqueRegKey key;
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                                             nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        FailLine(ErrorText("RegCreateKeyExW", static_cast<DWORD>(status)));
    }
    return key;
}

// The key opened for the access given, or none when it does not exist.
UniqueRegKey OpenKeyIfPresent(REGSAM view, const std::wstring& path, REGSAM access)
{
    UniqueRegKey key;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | view, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        return UniqueRegKey();
    }
    if (status != ERROR_SUCCESS) {
        FailLine(ErrorText("RegOpenKeyExW", static_cast<DWORD>(status)));
    }
    return key;
}

void SetValue(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 6, 6);
    const REGSAM view = ViewFlag(fields[1]);
    const UniqueRegKey key = CreateKey(view, Unescape(fields[2]));
    const std::wstring name = ValueName(fields[3]);
    const DWORD type = ValueType(fields[4]);
    std::vector<unsigned char> data = Data(fields[5]);
    const auto size = static_cast<DWORD>(data.size());
    // The registry adds a terminator to a string whose data lacks one when
    // the bytes just past the data are zero; non-zero bytes there keep the
    // value exactly as given.
    data.push_back(0xFF);
    data.push_back(0xFF);
    const LSTATUS status = ::RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), size);
    if (status != ERROR_SUCCESS) {
        FailLine(ErrorText("RegSetValueExW", static_cast<DWORD>(status)));
    }
}

void MakeKey(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 3, 3);
    CreateKey(ViewFlag(fields[1]), Unescape(fields[2]));
}

void UnsetValue(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 4, 4);
    const UniqueRegKey key = OpenKeyIfPresent(ViewFlag(fields[1]), Unescape(fields[2]), KEY_SET_VALUE);
    if (!key) {
        return;
    }
    const LSTATUS status = ::RegDeleteValueW(key.get(), ValueName(fields[3]).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        FailLine(ErrorText("RegDeleteValueW", static_cast<DWORD>(status)));
    }
}

void DeleteTree(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 3, 3);
    const REGSAM view = ViewFlag(fields[1]);
    const std::wstring path = Unescape(fields[2]);
    {
        const UniqueRegKey key = OpenKeyIfPresent(view, path, DELETE | KEY_READ | KEY_SET_VALUE);
        if (!key) {
            return;
        }
        // Empties the key; subkeys opened through it stay in its view.
        const LSTATUS status = ::RegDeleteTreeW(key.get(), nullptr);
        if (status != ERROR_SUCCESS) {
            FailLine(ErrorText("RegDeleteTreeW", static_cast<DWORD>(status)));
        }
    }
    const LSTATUS status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        FailLine(ErrorText("RegDeleteKeyExW", static_cast<DWORD>(status)));
    }
}

void ExpectValue(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 6, 6);
    const UniqueRegKey key = OpenKeyIfPresent(ViewFlag(fields[1]), Unescape(fields[2]), KEY_QUERY_VALUE);
    if (!key) {
        FailLine("expected key is missing");
    }
    const std::wstring name = ValueName(fields[3]);
    const DWORD expectedType = ValueType(fields[4]);
    const std::vector<unsigned char> expected = Data(fields[5]);
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        FailLine(ErrorText("RegQueryValueExW", static_cast<DWORD>(status)));
    }
    std::vector<unsigned char> actual(size);
    status = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, size ? actual.data() : nullptr, &size);
    if (status != ERROR_SUCCESS) {
        FailLine(ErrorText("RegQueryValueExW", static_cast<DWORD>(status)));
    }
    actual.resize(size);
    if (type != expectedType || actual != expected) {
        FailLine("value is type " + std::to_string(type) + " with " + EncodeHex(actual.data(), actual.size()));
    }
}

void ExpectAbsent(const std::vector<std::string>& fields)
{
    CheckFieldCount(fields, 3, 4);
    const UniqueRegKey key = OpenKeyIfPresent(ViewFlag(fields[1]), Unescape(fields[2]), KEY_QUERY_VALUE);
    if (fields.size() == 3) {
        if (key) {
            FailLine("key exists");
        }
        return;
    }
    if (!key) {
        return;
    }
    const LSTATUS status =
        ::RegQueryValueExW(key.get(), ValueName(fields[3]).c_str(), nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_FILE_NOT_FOUND) {
        FailLine("value exists");
    }
}

void RunLine(const std::string& line)
{
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.empty() || fields[0][0] == '#') {
        return;
    }
    const std::string& operation = fields[0];
    if (operation == "set") {
        SetValue(fields);
    } else if (operation == "key") {
        MakeKey(fields);
    } else if (operation == "unset") {
        UnsetValue(fields);
    } else if (operation == "delete") {
        DeleteTree(fields);
    } else if (operation == "expect") {
        ExpectValue(fields);
    } else if (operation == "absent") {
        ExpectAbsent(fields);
    } else {
        FailLine("unknown operation \"" + operation + "\"");
    }
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2) {
        Fail(kTool, "usage: regfixture BATCHFILE");
    }
    const std::optional<std::string> batch = ReadWholeFile(argv[1]);
    if (!batch) {
        Fail(kTool, ErrorText("reading the batch file", ::GetLastError()));
    }
    std::size_t start = 0;
    while (start < batch->size()) {
        std::size_t end = batch->find('\n', start);
        if (end == std::string::npos) {
            end = batch->size();
        }
        std::string line = batch->substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ++currentLine;
        RunLine(line);
        start = end + 1;
    }
    return 0;
}

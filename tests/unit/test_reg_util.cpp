#include "registry/reg_util.h"

#include "support/unique_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kFixtureSubKey = L"UnitTests";
const std::wstring kFixtureKey = std::wstring(kProductKey) + L"\\" + kFixtureSubKey;

// Writes raw registry values under the product key, in one view.
class RegistryFixture {
  public:
    explicit RegistryFixture(REGSAM view) : view_(view)
    {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFixtureKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr,
                          key_.put(), nullptr);
    }
    ~RegistryFixture() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kFixtureKey.c_str(), view_, 0); }
    RegistryFixture(const RegistryFixture&) = delete;
    RegistryFixture& operator=(const RegistryFixture&) = delete;

    // Stores exactly these bytes: the registry adds a terminator to string
    // data that lacks one when the bytes just past it are zero, so they are not.
    void Set(const wchar_t* name, DWORD type, std::vector<unsigned char> bytes)
    {
        const auto size = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), {0xFF, 0xFF});
        ASSERT_EQ(::RegSetValueExW(key_.get(), name, 0, type, bytes.data(), size), ERROR_SUCCESS);
    }

    void SetString(const wchar_t* name, const std::wstring& text)
    {
        const auto* first = reinterpret_cast<const unsigned char*>(text.c_str());
        Set(name, REG_SZ, std::vector<unsigned char>(first, first + (text.size() + 1) * sizeof(wchar_t)));
    }

  private:
    REGSAM view_;
    UniqueRegKey key_;
};

std::vector<unsigned char> Utf16Bytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const unsigned char*>(text.data());
    return std::vector<unsigned char>(first, first + text.size() * sizeof(wchar_t));
}

struct StringCase {
    const char* name;
    DWORD type;
    std::vector<unsigned char> data;
    std::wstring expected;
};

class RegStringTest : public testing::TestWithParam<StringCase> {};

TEST_P(RegStringTest, ReadsOnlyWellTypedTextUpToItsFirstNull)
{
    const StringCase& c = GetParam();
    RegistryFixture fixture(KEY_WOW64_32KEY);
    fixture.Set(L"Value", c.type, c.data);
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    const wchar_t* text = reader.GetRegString(kFixtureSubKey, L"Value");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegStringTest,
    testing::Values(StringCase{"Terminated", REG_SZ, Utf16Bytes(std::wstring(L"C:\\qx\\bin", 10)), L"C:\\qx\\bin"},
                    StringCase{"NoTerminator", REG_SZ, Utf16Bytes(L"C:\\qx"), L"C:\\qx"},
                    StringCase{"OddCountWithOneByteTerminator", REG_SZ, {'A', 0, 'B', 0, 0}, L"AB"},
                    StringCase{"OddCountEndingMidUnit", REG_SZ, {'A', 0, 'B'}, L"AB"},
                    StringCase{"SingleByte", REG_SZ, {'A'}, L"A"},
                    StringCase{"EmbeddedNull", REG_SZ, {'A', 0, 0, 0, 'B', 0, 0, 0}, L"A"},
                    StringCase{"OnlyTerminator", REG_SZ, {0, 0}, L""}, StringCase{"SizeZero", REG_SZ, {}, L""},
                    StringCase{"NonAscii", REG_SZ, Utf16Bytes(std::wstring(L"D:\\\u65E5\u672C\U0001F600", 7)),
                               L"D:\\\u65E5\u672C\U0001F600"},
                    StringCase{"ExpandString", REG_EXPAND_SZ, Utf16Bytes(std::wstring(L"%TEMP%", 7)), L""},
                    StringCase{"MultiString", REG_MULTI_SZ, Utf16Bytes(std::wstring(L"a\0b\0", 5)), L""},
                    StringCase{"Number", REG_DWORD, {9, 0, 0, 0}, L""},
                    StringCase{"Binary", REG_BINARY, Utf16Bytes(std::wstring(L"C:\\", 4)), L""}),
    [](const testing::TestParamInfo<StringCase>& param) { return param.param.name; });

struct NumberCase {
    const char* name;
    DWORD type;
    std::vector<unsigned char> data;
    std::int32_t expected;
};

class RegNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(RegNumberTest, ReadsOnlyFourByteDwords)
{
    const NumberCase& c = GetParam();
    RegistryFixture fixture(KEY_WOW64_32KEY);
    fixture.Set(L"Value", c.type, c.data);
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    EXPECT_EQ(reader.GetRegDWORD(kFixtureSubKey, L"Value"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, RegNumberTest,
                         testing::Values(NumberCase{"Dword", REG_DWORD, {9, 0, 0, 0}, 9},
                                         NumberCase{"AllBitsSet", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
                                         NumberCase{"ShortDword", REG_DWORD, {9, 0}, 0},
                                         NumberCase{"LongDword", REG_DWORD, {9, 0, 0, 0, 0, 0, 0, 0}, 0},
                                         NumberCase{"BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 9}, 0},
                                         NumberCase{"FourByteBinary", REG_BINARY, {9, 0, 0, 0}, 0},
                                         NumberCase{"Qword", REG_QWORD, {9, 0, 0, 0, 0, 0, 0, 0}, 0},
                                         NumberCase{"String", REG_SZ, {'9', 0, 0, 0}, 0}),
                         [](const testing::TestParamInfo<NumberCase>& param) { return param.param.name; });

TEST(RegUtilTest, MissingValuesKeysAndNullNamesReadAsEmpty)
{
    RegistryFixture fixture(KEY_WOW64_32KEY);
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    EXPECT_STREQ(reader.GetRegString(kFixtureSubKey, L"Missing"), L"");
    EXPECT_STREQ(reader.GetRegString(L"NoSuchKey", L"Value"), L"");
    EXPECT_STREQ(reader.GetRegString(kFixtureSubKey, nullptr), L"");
    EXPECT_EQ(reader.GetRegDWORD(kFixtureSubKey, L"Missing"), 0);
    EXPECT_EQ(reader.GetRegDWORD(kFixtureSubKey, nullptr), 0);
}

TEST(RegUtilTest, EmptyValueNameReadsTheKeysDefaultValue)
{
    RegistryFixture fixture(KEY_WOW64_32KEY);
    fixture.SetString(L"", L"default");
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    EXPECT_STREQ(reader.GetRegString(kFixtureSubKey, L""), L"default");
}

TEST(RegUtilTest, NullOrEmptySubKeyReadsTheProductKeyItself)
{
    RegistryFixture fixture(KEY_WOW64_32KEY);
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    // The fixture key is a sub-key of the product key, so the product key exists.
    EXPECT_STREQ(reader.GetRegString(nullptr, L"NoSuchValue"), L"");
    UniqueRegKey product;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, product.put()),
              ERROR_SUCCESS);
    const DWORD seven = 7;
    ::RegSetValueExW(product.get(), L"UnitTestNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven),
                     sizeof(seven));
    EXPECT_EQ(reader.GetRegDWORD(L"", L"UnitTestNumber"), 7);
    EXPECT_EQ(reader.GetRegDWORD(nullptr, L"UnitTestNumber"), 7);
    ::RegDeleteValueW(product.get(), L"UnitTestNumber");
}

TEST(RegUtilTest, SecondReadsFailureDoesNotReturnTheFirstReadsText)
{
    RegistryFixture fixture(KEY_WOW64_32KEY);
    fixture.SetString(L"Present", L"C:\\qx\\");
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    EXPECT_STREQ(reader.GetRegString(kFixtureSubKey, L"Present"), L"C:\\qx\\");
    EXPECT_STREQ(reader.GetRegString(kFixtureSubKey, L"Missing"), L"");
    EXPECT_EQ(reader.GetRegDWORD(kFixtureSubKey, L"Present"), 0);
}

TEST(RegUtilTest, LargeStringIsReadWhole)
{
    RegistryFixture fixture(KEY_WOW64_32KEY);
    const std::wstring large(512 * 1024, L'x');
    fixture.SetString(L"Large", large);
    CQXRegUtil reader(HKEY_LOCAL_MACHINE, false);
    EXPECT_EQ(std::wstring(reader.GetRegString(kFixtureSubKey, L"Large")), large);
}

// The test prefix is a 64-bit machine, where the views hold different values.
// The default view is the 32-bit one whatever the bitness of this test build.
TEST(RegUtilTest, ViewFlagSelectsThe64BitOrTheDefaultView)
{
    RegistryFixture view32(KEY_WOW64_32KEY);
    RegistryFixture view64(KEY_WOW64_64KEY);
    view32.SetString(L"InstallBinPath", L"C:\\Program Files (x86)\\qx");
    view64.SetString(L"InstallBinPath", L"C:\\Program Files\\qx");
    CQXRegUtil defaultView(HKEY_LOCAL_MACHINE, false);
    CQXRegUtil view64Reader(HKEY_LOCAL_MACHINE, true);
    EXPECT_STREQ(defaultView.GetRegString(kFixtureSubKey, L"InstallBinPath"), L"C:\\Program Files (x86)\\qx");
    EXPECT_STREQ(view64Reader.GetRegString(kFixtureSubKey, L"InstallBinPath"), L"C:\\Program Files\\qx");
}

} // namespace

#include "run/folder_copy.h"
#include "support/module_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct BackslashCase {
    const char* name;
    const wchar_t* folder;
    const wchar_t* expected;
};

class TrailingBackslashTest : public testing::TestWithParam<BackslashCase> {};

TEST_P(TrailingBackslashTest, AppendsOnlyAMissingBackslash)
{
    const BackslashCase& c = GetParam();
    EXPECT_EQ(WithTrailingBackslash(c.folder), std::wstring(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Folders, TrailingBackslashTest,
                         testing::Values(BackslashCase{"Empty", L"", L""},
                                         BackslashCase{"Missing", L"C:\\qx\\bin", L"C:\\qx\\bin\\"},
                                         BackslashCase{"Present", L"C:\\qx\\bin\\", L"C:\\qx\\bin\\"},
                                         BackslashCase{"DoubledBackslashUntouched", L"C:\\qx\\\\", L"C:\\qx\\\\"},
                                         BackslashCase{"ForwardSlashIsNoSeparator", L"C:/qx/", L"C:/qx/\\"},
                                         BackslashCase{"BlanksAreAFolder", L"   ", L"   \\"},
                                         BackslashCase{"TrailingBlankKept", L"C:\\qx ", L"C:\\qx \\"}),
                         [](const testing::TestParamInfo<BackslashCase>& param) { return param.param.name; });

TEST(AppendFileNameTest, JoinsWithoutAddingOrRemovingSeparators)
{
    EXPECT_EQ(AppendFileName(L"C:\\qx\\", L"a.dll"), L"C:\\qx\\a.dll");
    EXPECT_EQ(AppendFileName(L"C:\\qx", L"a.dll"), L"C:\\qxa.dll");
    EXPECT_EQ(AppendFileName(L"C:\\qx\\", L"\\a"), L"C:\\qx\\\\a");
}

TEST(AppendFileNameTest, NullNameGivesTheFolderUnchanged)
{
    const std::wstring folder = L"C:\\qx\\";
    EXPECT_EQ(AppendFileName(folder, nullptr), folder);
    EXPECT_EQ(folder, L"C:\\qx\\");
}

} // namespace

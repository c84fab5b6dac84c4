#include "run/folder_copy.h"
#include "support/module_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
    const char* name;
    const wchar_t* path;
    const wchar_t* expected;
};

class TrailingBackslashTest : public testing::TestWithParam<PathCase> {};

TEST_P(TrailingBackslashTest, AppendsOnlyAMissingBackslash)
{
    const PathCase& c = GetParam();
    EXPECT_EQ(WithTrailingBackslash(c.path), std::wstring(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Folders, TrailingBackslashTest,
                         testing::Values(PathCase{"Empty", L"", L""},
                                         PathCase{"Missing", L"C:\\qx\\bin", L"C:\\qx\\bin\\"},
                                         PathCase{"Present", L"C:\\qx\\bin\\", L"C:\\qx\\bin\\"},
                                         PathCase{"DoubledBackslashUntouched", L"C:\\qx\\\\", L"C:\\qx\\\\"},
                                         PathCase{"ForwardSlashIsNoSeparator", L"C:/qx/", L"C:/qx/\\"},
                                         PathCase{"BlanksAreAFolder", L"   ", L"   \\"},
                                         PathCase{"TrailingBlankKept", L"C:\\qx ", L"C:\\qx \\"}),
                         [](const testing::TestParamInfo<PathCase>& param) { return param.param.name; });

class ExecutableFolderTest : public testing::TestWithParam<PathCase> {};

TEST_P(ExecutableFolderTest, KeepsTheFolderOnlyOfAPathFromARoot)
{
    const PathCase& c = GetParam();
    EXPECT_EQ(FolderOfExecutablePath(c.path), std::wstring(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExecutableFolderTest,
    testing::Values(PathCase{"Drive", L"C:\\Hotfix\\apply.exe", L"C:\\Hotfix\\"},
                    PathCase{"DriveRoot", L"C:\\qxhotfix.exe", L"C:\\"},
                    PathCase{"ForwardSlashes", L"c:/Hotfix/apply.exe", L"c:/Hotfix/"},
                    PathCase{"Share", L"\\\\server\\share\\hotfix\\qxhotfix.exe", L"\\\\server\\share\\hotfix\\"},
                    PathCase{"ShareRoot", L"\\\\server\\share\\qxhotfix.exe", L"\\\\server\\share\\"},
                    PathCase{"LongDrive", L"\\\\?\\C:\\Hotfix\\qxhotfix.exe", L"\\\\?\\C:\\Hotfix\\"},
                    PathCase{"LongShare", L"\\\\?\\UNC\\server\\share\\qxhotfix.exe", L"\\\\?\\UNC\\server\\share\\"},
                    // Wine reports a program started as \\?\UNC\... so: relative.
                    PathCase{"ShareWithoutLeadingBackslashes", L"UNC\\server\\share\\qxhotfix.exe", L""},
                    PathCase{"Relative", L"Hotfix\\qxhotfix.exe", L""},
                    PathCase{"DriveRelative", L"C:Hotfix\\qxhotfix.exe", L""},
                    PathCase{"RootOfTheCurrentDrive", L"\\Hotfix\\qxhotfix.exe", L""},
                    PathCase{"BareName", L"qxhotfix.exe", L""}, PathCase{"Empty", L"", L""}),
    [](const testing::TestParamInfo<PathCase>& param) { return param.param.name; });

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

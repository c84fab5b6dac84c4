#include "run/install_paths.h"

#include "product_fixture.h"
#include "run/folder_copy.h"
#include "run/outcome.h"
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
}

// InstallBinPath and ActivatorPath in each view; null: not there.
struct ReaderCase {
    const char* name;
    const wchar_t* installBinPath32;
    const wchar_t* installBinPath64;
    const wchar_t* activatorPath32;
    const wchar_t* activatorPath64;
};

void SetIfGiven(REGSAM view, const wchar_t* subKey, const wchar_t* name, const wchar_t* text)
{
    if (text) {
        ProductRegistry::SetString(view, subKey, name, text);
    }
}

// A destination getter's folder, or "raised" when it raised the failed outcome.
template <typename Getter> std::wstring Destination(Getter getter)
{
    std::wstring destination = L"stale";
    try {
        getter(destination);
    } catch (OutcomeCode outcome) {
        EXPECT_EQ(outcome, kOutcomeFailed);
        return L"raised";
    }
    return destination;
}

struct DestinationCase {
    ReaderCase registry;
    std::wstring licenser64;
    std::wstring licenser32;
    std::wstring activator;
    std::wstring module64;
    std::wstring module32;
};

class InstallPathTest : public testing::TestWithParam<DestinationCase> {
  protected:
    void SetUp() override
    {
        const ReaderCase& r = GetParam().registry;
        SetIfGiven(k32BitView, L"", L"InstallBinPath", r.installBinPath32);
        SetIfGiven(k64BitView, L"", L"InstallBinPath", r.installBinPath64);
        SetIfGiven(k32BitView, L"Licenseactivator", L"ActivatorPath", r.activatorPath32);
        SetIfGiven(k64BitView, L"Licenseactivator", L"ActivatorPath", r.activatorPath64);
    }

    ProductRegistry registry_;
};

TEST_P(InstallPathTest, DestinationsComeFromTheirViewWithOneTrailingBackslash)
{
    const DestinationCase& c = GetParam();
    EXPECT_EQ(Destination([](std::wstring& folder) { GetLicenserInstallPath(folder, true); }), c.licenser64)
        << "licenser folder, 64-bit view: InstallBinPath of that view followed by licensers\\";
    EXPECT_EQ(Destination([](std::wstring& folder) { GetLicenserInstallPath(folder, false); }), c.licenser32)
        << "licenser folder, default view: InstallBinPath of that view followed by licensers\\";
    EXPECT_EQ(Destination([](std::wstring& folder) { GetActivatorInstallPath(folder); }), c.activator)
        << "activator folder: ActivatorPath of the default view, ending with a backslash";
    EXPECT_EQ(Destination([](std::wstring& folder) { GetModuleInstallPath(folder, true); }), c.module64)
        << "module folder, 64-bit view: InstallBinPath of that view, ending with a backslash";
    EXPECT_EQ(Destination([](std::wstring& folder) { GetModuleInstallPath(folder, false); }), c.module32)
        << "module folder, default view: InstallBinPath of that view, ending with a backslash";
}

INSTANTIATE_TEST_SUITE_P(
    Registry, InstallPathTest,
    testing::Values(DestinationCase{{"NoBackslashes", L"C:\\x86", L"C:\\x64", L"D:\\act", nullptr},
                                    L"C:\\x64\\licensers\\",
                                    L"C:\\x86\\licensers\\",
                                    L"D:\\act\\",
                                    L"C:\\x64\\",
                                    L"C:\\x86\\"},
                    DestinationCase{{"Backslashes", L"C:\\x86\\", L"C:\\x64\\", L"D:\\act\\", nullptr},
                                    L"C:\\x64\\licensers\\",
                                    L"C:\\x86\\licensers\\",
                                    L"D:\\act\\",
                                    L"C:\\x64\\",
                                    L"C:\\x86\\"},
                    DestinationCase{{"OnlyThe32BitView", L"C:\\x86", nullptr, L"D:\\act", nullptr},
                                    L"raised",
                                    L"C:\\x86\\licensers\\",
                                    L"D:\\act\\",
                                    L"raised",
                                    L"C:\\x86\\"},
                    DestinationCase{{"OnlyThe64BitView", nullptr, L"C:\\x64", nullptr, L"D:\\act"},
                                    L"C:\\x64\\licensers\\",
                                    L"raised",
                                    L"raised",
                                    L"C:\\x64\\",
                                    L"raised"},
                    DestinationCase{
                        {"Empty", L"", L"", L"", nullptr}, L"raised", L"raised", L"raised", L"raised", L"raised"}),
    [](const testing::TestParamInfo<DestinationCase>& param) { return param.param.registry.name; });

TEST(ModulesPathTest, IsTheSubFolderOfTheExecutablesFolder)
{
    std::wstring source = L"stale";
    GetModulesPath(source, L"modules\\bin\\");
    EXPECT_EQ(source, GetExecutableFolder() + L"modules\\bin\\");
}

} // namespace

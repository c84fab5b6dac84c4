#include "run/gates.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SilentCase {
    const char* name;
    std::vector<const wchar_t*> arguments;
    bool silent;
};

class SilentModeTest : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentModeTest, RecognisesOnlyTheSwitchAfterTheProgramName)
{
    const SilentCase& c = GetParam();
    EXPECT_EQ(IsSilentMode(static_cast<int>(c.arguments.size()), c.arguments.data()), c.silent);
}

INSTANTIATE_TEST_SUITE_P(Arguments, SilentModeTest,
                         testing::Values(SilentCase{"NoArguments", {L"qxhotfix.exe"}, false},
                                         SilentCase{"LowerCase", {L"qxhotfix.exe", L"/s"}, true},
                                         SilentCase{"UpperCaseThirdArgument", {L"qxhotfix.exe", L"/x", L"/S"}, true},
                                         SilentCase{"Dash", {L"qxhotfix.exe", L"-s"}, false},
                                         SilentCase{"LongerWord", {L"qxhotfix.exe", L"/silent"}, false},
                                         SilentCase{"SlashOnly", {L"qxhotfix.exe", L"/"}, false},
                                         SilentCase{"ProgramNameIsNeverCompared", {L"/s"}, false},
                                         SilentCase{
                                             "NonAsciiLookalikeIsNotFolded", {L"qxhotfix.exe", L"/\u017F"}, false},
                                         SilentCase{"EmptyArgument", {L"qxhotfix.exe", L""}, false}),
                         [](const testing::TestParamInfo<SilentCase>& param) { return param.param.name; });

} // namespace

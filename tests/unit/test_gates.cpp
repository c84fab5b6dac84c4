#include "run/gates.h"

#include "product_fixture.h"
#include "run/outcome.h"
#include "run/run_hotfix.h"

#include <gtest/gtest.h>

#include <new>
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

// One registry value of the product as a test sets it up.
struct ProductValue {
    REGSAM view;
    const wchar_t* subKey;
    const wchar_t* name;
    DWORD type;
    std::vector<unsigned char> data;
};

std::vector<unsigned char> Dword(DWORD number)
{
    const auto* first = reinterpret_cast<const unsigned char*>(&number);
    return std::vector<unsigned char>(first, first + sizeof(number));
}

std::vector<ProductValue> Release(REGSAM view, DWORD major, DWORD minor, DWORD patch)
{
    return {{view, L"SystemInfo", L"MajorVersion", REG_DWORD, Dword(major)},
            {view, L"SystemInfo", L"MinorVersion", REG_DWORD, Dword(minor)},
            {view, L"SystemInfo", L"PatchVersion", REG_DWORD, Dword(patch)}};
}

std::vector<ProductValue> Joined(std::vector<ProductValue> first, const std::vector<ProductValue>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

void SetUpProduct(const std::vector<ProductValue>& values)
{
    for (const ProductValue& value : values) {
        ProductRegistry::Set(value.view, value.subKey, value.name, value.type, value.data);
    }
}

struct GateCase {
    const char* name;
    std::vector<ProductValue> values;
    bool passes;
};

class VersionGateTest : public testing::TestWithParam<GateCase> {};

TEST_P(VersionGateTest, AppliesOnlyToRelease913InTheDefaultView)
{
    const GateCase& c = GetParam();
    const ProductRegistry registry;
    SetUpProduct(c.values);
    EXPECT_EQ(Returns(CheckApplicableVersion), c.passes)
        << "the version gate " << (c.passes ? "refused" : "accepted") << " the installed release: " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Releases, VersionGateTest,
    testing::Values(GateCase{"Release913", Release(k32BitView, 9, 1, 3), true},
                    GateCase{"Release912", Release(k32BitView, 9, 1, 2), false},
                    GateCase{"Release914", Release(k32BitView, 9, 1, 4), false},
                    GateCase{"Release923", Release(k32BitView, 9, 2, 3), false},
                    GateCase{"Release903", Release(k32BitView, 9, 0, 3), false},
                    GateCase{"Release813", Release(k32BitView, 8, 1, 3), false},
                    // Patch numbers that begin with 3: the release is compared as numbers, not as text.
                    GateCase{"Release9130", Release(k32BitView, 9, 1, 30), false},
                    GateCase{"Release9139", Release(k32BitView, 9, 1, 39), false},
                    GateCase{"Release91300", Release(k32BitView, 9, 1, 300), false}, GateCase{"NoValues", {}, false},
                    GateCase{"PatchMissing",
                             {{k32BitView, L"SystemInfo", L"MajorVersion", REG_DWORD, Dword(9)},
                              {k32BitView, L"SystemInfo", L"MinorVersion", REG_DWORD, Dword(1)}},
                             false},
                    GateCase{"MajorAsString",
                             Joined({{k32BitView, L"SystemInfo", L"MajorVersion", REG_SZ, {'9', 0, 0, 0}}},
                                    {{k32BitView, L"SystemInfo", L"MinorVersion", REG_DWORD, Dword(1)},
                                     {k32BitView, L"SystemInfo", L"PatchVersion", REG_DWORD, Dword(3)}}),
                             false},
                    GateCase{"Release913OnlyInThe64BitView",
                             Joined(Release(k64BitView, 9, 1, 3), Release(k32BitView, 9, 1, 4)), false},
                    GateCase{"Release913InTheDefaultView",
                             Joined(Release(k64BitView, 9, 1, 4), Release(k32BitView, 9, 1, 3)), true}),
    [](const testing::TestParamInfo<GateCase>& param) { return param.param.name; });

struct ProductTypeCase {
    const char* name;
    std::vector<ProductValue> values;
    bool type1;
};

class ProductTypeTest : public testing::TestWithParam<ProductTypeCase> {};

TEST_P(ProductTypeTest, OnlyTheNumber1InTheDefaultViewIsType1)
{
    const ProductTypeCase& c = GetParam();
    const ProductRegistry registry;
    SetUpProduct(c.values);
    EXPECT_EQ(IsProductType1(), c.type1) << "the product-type rule got " << c.name << " wrong";
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProductTypeTest,
    testing::Values(ProductTypeCase{"One", {{k32BitView, L"", L"ProductType", REG_DWORD, Dword(1)}}, true},
                    ProductTypeCase{"Two", {{k32BitView, L"", L"ProductType", REG_DWORD, Dword(2)}}, false},
                    ProductTypeCase{"Zero", {{k32BitView, L"", L"ProductType", REG_DWORD, Dword(0)}}, false},
                    ProductTypeCase{"Three", {{k32BitView, L"", L"ProductType", REG_DWORD, Dword(3)}}, false},
                    ProductTypeCase{"Missing", {}, false},
                    ProductTypeCase{"OneAsString", {{k32BitView, L"", L"ProductType", REG_SZ, {'1', 0, 0, 0}}}, false},
                    ProductTypeCase{"OneOnlyInThe64BitView",
                                    {{k64BitView, L"", L"ProductType", REG_DWORD, Dword(1)},
                                     {k32BitView, L"", L"ProductType", REG_DWORD, Dword(2)}},
                                    false}),
    [](const testing::TestParamInfo<ProductTypeCase>& param) { return param.param.name; });

TEST(RunOutcomeTest, ReleaseThatDoesNotApplyExitsWith1)
{
    const ProductRegistry registry;
    SetUpProduct(Release(k32BitView, 9, 1, 4));
    EXPECT_EQ(RunHotfix(), kOutcomeFailed) << "a run on a release that does not apply must exit with 1";
}

struct OutcomeCase {
    const char* name;
    void (*body)();
    OutcomeCode expected;
};

class OutcomeOfTest : public testing::TestWithParam<OutcomeCase> {};

TEST_P(OutcomeOfTest, EveryWayOutOfTheRunIsAnOutcome)
{
    const OutcomeCase& c = GetParam();
    EXPECT_EQ(OutcomeOf(c.body), c.expected) << "wrong exit code for a run that " << c.name;
}

INSTANTIATE_TEST_SUITE_P(Ends, OutcomeOfTest,
                         testing::Values(OutcomeCase{"IsApplied", [] { RaiseOutcome(kOutcomeApplied); },
                                                     kOutcomeApplied},
                                         OutcomeCase{"Failed", [] { RaiseOutcome(kOutcomeFailed); }, kOutcomeFailed},
                                         // Exit code 1, not 0: a run stopped half-way must not read as applied.
                                         OutcomeCase{"RanOutOfMemory", [] { throw std::bad_alloc(); }, kOutcomeFailed},
                                         OutcomeCase{"RaisedAnOutcomeOfAnotherType", [] { throw 0L; }, kOutcomeFailed},
                                         OutcomeCase{"ReturnedWithoutAnOutcome", [] {}, kOutcomeFailed}),
                         [](const testing::TestParamInfo<OutcomeCase>& param) { return param.param.name; });

} // namespace

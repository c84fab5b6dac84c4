#include "run/copy_plan.h"
#include "run/folder_copy.h"
#include "run/gates.h"
#include "run/outcome.h"
#include "run/run_hotfix.h"

#include "process_log.h"
#include "product_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Names = std::vector<std::wstring>;

// The names a listing delivers, in its order, without "." and "..".
Names ListingOrder(const std::wstring& folder)
{
    Names names;
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((folder + L"*").c_str(), &entry));
    while (search) {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
        if (!::FindNextFileW(search.get(), &entry)) {
            break;
        }
    }
    return names;
}

class FolderCopyTest : public testing::Test {
  protected:
    TestFolder source_{TestFolder::UniqueTemporary()};
    TestFolder destination_{TestFolder::UniqueTemporary()};

    void Write(const std::wstring& path, const std::string& bytes) { WriteFileBytes(path, bytes); }
};

TEST_F(FolderCopyTest, CopiesEveryPlainFileAndLeavesSubFoldersOut)
{
    for (const wchar_t* name : {L"a.dll", L"noextension", L".dotfirst", L"hidden.dll", L"readonly.dll"}) {
        Write(source_.Path() + name, "new");
    }
    ::SetFileAttributesW((source_.Path() + L"hidden.dll").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((source_.Path() + L"readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    Write(source_.MakeFolder(L"sub") + L"inner.dll", "inner");
    Write(destination_.Path() + L"a.dll", "old");

    EXPECT_TRUE(Returns([&] { CopyFolderFiles(source_.Path(), destination_.Path()); }));
    EXPECT_EQ(FolderEntries(destination_.Path()),
              (Names{L".dotfirst", L"a.dll", L"hidden.dll", L"noextension", L"readonly.dll"}))
        << "only the plain files lying directly in the source folder are copied, sub-folders never";
    EXPECT_EQ(ReadFileBytes(destination_.Path() + L"a.dll"), "new") << "an existing file is replaced";
}

TEST_F(FolderCopyTest, RefusedCopyStopsTheFolderAndRaisesTheFailedOutcome)
{
    for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll"}) {
        Write(source_.Path() + name, "new");
    }
    // The copy of the second file in listing order is refused (sharing violation).
    const Names order = ListingOrder(source_.Path());
    ASSERT_EQ(order.size(), 3u);
    Write(destination_.Path() + order[1], "held");
    const UniqueFileHandle held(::CreateFileW((destination_.Path() + order[1]).c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);

    EXPECT_FALSE(Returns([&] { CopyFolderFiles(source_.Path(), destination_.Path()); }))
        << "a refused copy must raise the failed outcome";
    EXPECT_EQ(ReadFileBytes(destination_.Path() + order[0]), "new") << "a file copied before the failure stays";
    EXPECT_FALSE(FileExists(destination_.Path() + order[2])) << "nothing after a refused copy may be copied";
}

TEST_F(FolderCopyTest, MissingSourceFolderRaisesTheFailedOutcome)
{
    EXPECT_FALSE(Returns([&] { CheckFolderFiles(source_.Path() + L"missing\\", destination_.Path()); }));
    EXPECT_FALSE(Returns([&] { CopyFolderFiles(source_.Path() + L"missing\\", destination_.Path()); }));
}

// A destination file as the check finds it, and the attributes of its
// shipped file where they matter.
enum class Destination {
    kNew,
    kFree,
    kHidden,          // shipped without the attribute
    kHiddenAsShipped, // shipped hidden too, as a first run copied it
    kSystem,          // shipped without the attribute
    kSystemAsShipped, // shipped as a system file too
    kHeldLikeALoadedModule,
    kHeldWithoutSharing,
    kHeldForDeletion, // as a sync client or a scanner that may move it holds it
};

// The hidden or system attribute that a row gives the destination, and
// whether its shipped file carries it too.
struct GuardedAttribute {
    DWORD attribute;
    bool shipped;
};

std::optional<GuardedAttribute> GuardedAttributeOf(Destination file)
{
    switch (file) {
    case Destination::kHidden:
        return GuardedAttribute{FILE_ATTRIBUTE_HIDDEN, false};
    case Destination::kHiddenAsShipped:
        return GuardedAttribute{FILE_ATTRIBUTE_HIDDEN, true};
    case Destination::kSystem:
        return GuardedAttribute{FILE_ATTRIBUTE_SYSTEM, false};
    case Destination::kSystemAsShipped:
        return GuardedAttribute{FILE_ATTRIBUTE_SYSTEM, true};
    default:
        return std::nullopt;
    }
}

// Held as a loaded module is: open for reading, others may only read it.
UniqueFileHandle Hold(const std::wstring& path, DWORD sharing, DWORD access = GENERIC_READ)
{
    return UniqueFileHandle(
        ::CreateFileW(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::string RefusedCopyEntry(const std::wstring& name)
{
    return "[info]: CopyFile, \"" + std::string(name.begin(), name.end()) + "\", result , 0, ";
}

struct CheckCase {
    const char* behaviour;
    bool folderExists;
    std::vector<Destination> files; // a.dll, b.dll, ... in the order checked
    int refused;                    // the file whose refusal is logged; -1: all pass
    const char* error;
};

const CheckCase kChecks[] = {
    {"a new file in an existing folder passes", true, {Destination::kNew}, -1, ""},
    {"free files pass and stay unchanged", true, {Destination::kFree, Destination::kNew, Destination::kFree}, -1, ""},
    {"a held file after a new one fails",
     true,
     {Destination::kNew, Destination::kHeldLikeALoadedModule},
     1,
     "0x00000020"},
    {"the first held file wins",
     true,
     {Destination::kFree, Destination::kHeldWithoutSharing, Destination::kHeldLikeALoadedModule},
     1,
     "0x00000020"},
    {"a file held with delete access fails, as the copy's open shares no deletion",
     true,
     {Destination::kFree, Destination::kHeldForDeletion},
     1,
     "0x00000020"},
    {"a hidden file fails when its shipped file is not hidden, as the copy refuses to replace it",
     true,
     {Destination::kFree, Destination::kHidden},
     1,
     "0x00000005"},
    {"a system file fails when its shipped file is not one",
     true,
     {Destination::kFree, Destination::kSystem},
     1,
     "0x00000005"},
    {"a hidden or system file passes when its shipped file carries the same attribute",
     true,
     {Destination::kHiddenAsShipped, Destination::kSystemAsShipped},
     -1,
     ""},
    {"a missing destination folder fails", false, {Destination::kNew, Destination::kNew}, 0, "0x00000003"},
};

TEST(FolderCheckTest, FailsTheFirstFileWhoseCopyWouldFailAndChangesNothing)
{
    for (const CheckCase& c : kChecks) {
        SCOPED_TRACE(c.behaviour);
        const TestFolder source(TestFolder::UniqueTemporary());
        const TestFolder folder(TestFolder::UniqueTemporary());
        const std::wstring destination = c.folderExists ? folder.Path() : folder.Path() + L"missing\\";
        for (std::size_t index = 0; index < c.files.size(); ++index) {
            WriteFileBytes(source.Path() + static_cast<wchar_t>(L'a' + index) + L".dll", "new");
        }
        // The row's files in the order the check takes them.
        const Names names = ListingOrder(source.Path());
        ASSERT_EQ(names.size(), c.files.size());
        std::vector<UniqueFileHandle> holds;
        for (std::size_t index = 0; index < names.size(); ++index) {
            const Destination file = c.files[index];
            if (file != Destination::kNew) {
                WriteFileBytes(destination + names[index], "old");
            }
            if (const std::optional<GuardedAttribute> guarded = GuardedAttributeOf(file)) {
                ASSERT_TRUE(::SetFileAttributesW((destination + names[index]).c_str(), guarded->attribute));
                if (guarded->shipped) {
                    ASSERT_TRUE(::SetFileAttributesW((source.Path() + names[index]).c_str(), guarded->attribute));
                }
            }
            if (file == Destination::kHeldLikeALoadedModule || file == Destination::kHeldWithoutSharing) {
                holds.push_back(Hold(destination + names[index],
                                     file == Destination::kHeldLikeALoadedModule ? FILE_SHARE_READ : 0));
                ASSERT_TRUE(holds.back());
            }
            if (file == Destination::kHeldForDeletion) {
                holds.push_back(Hold(destination + names[index], FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     GENERIC_READ | DELETE));
                ASSERT_TRUE(holds.back());
            }
        }
        const Names before = FolderEntries(folder.Path());
        const std::size_t entriesBefore = ProcessLogEntries().size();

        EXPECT_EQ(Returns([&] { CheckFolderFiles(source.Path(), destination); }), c.refused < 0);
        const std::vector<std::string> entries = ProcessLogEntries();
        if (c.refused < 0) {
            EXPECT_EQ(entries.size(), entriesBefore) << "a check that passes logs nothing";
        } else {
            ASSERT_EQ(entries.size(), entriesBefore + 2);
            EXPECT_EQ(entries[entriesBefore], RefusedCopyEntry(names[static_cast<std::size_t>(c.refused)]));
            EXPECT_EQ(entries[entriesBefore + 1], std::string("[error]: CopyFile, GetLastError, ") + c.error);
        }
        EXPECT_EQ(FolderEntries(folder.Path()), before) << "the check creates nothing";
        for (std::size_t index = 0; index < names.size(); ++index) {
            if (c.files[index] == Destination::kFree || GuardedAttributeOf(c.files[index])) {
                EXPECT_EQ(ReadFileBytes(destination + names[index]), "old") << "the check writes nothing";
            }
        }
    }
}

// The programs named come from Restart Manager, which the fault build's
// seam makes list as many as the test asks for.
TEST_F(FolderCopyTest, FileInUseNamesTheFirstFewProgramsThatHoldIt)
{
    Write(source_.Path() + L"held.dll", "new");
    Write(destination_.Path() + L"held.dll", "old");
    const UniqueFileHandle held = Hold(destination_.Path() + L"held.dll", 0);
    ASSERT_TRUE(held);
    const struct {
        const wchar_t* holders;
        std::size_t named;
        const wchar_t* destination;
    } rows[] = {
        {L"0", 0, L"held.dll"}, {L"2", 2, L"held.dll"}, {L"6", 4, L"held.dll"}, {L"2", 0, L"missing\\held.dll"}};
    for (const auto& row : rows) {
        const ScopedEnvironment holders(L"QX_FILE_HOLDERS", row.holders);
        const std::wstring path = destination_.Path() + row.destination;
        const std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
        const std::size_t entriesBefore = ProcessLogEntries().size();
        EXPECT_FALSE(Returns([&] { CheckFolderFiles(source_.Path(), folder); }));

        const std::vector<std::string> entries = ProcessLogEntries();
        ASSERT_EQ(entries.size(), entriesBefore + row.named + 2) << "with " << row.holders << " holders";
        for (std::size_t holder = 1; holder <= row.named; ++holder) {
            EXPECT_EQ(entries[entriesBefore + holder - 1], "[info]: In use by \"holder" + std::to_string(holder)
                                                               + ".exe\", process id " + std::to_string(100 + holder));
        }
        EXPECT_EQ(entries[entriesBefore + row.named], RefusedCopyEntry(L"held.dll"))
            << "the holders come before the failure's own entries";
    }
}

// A listing that breaks off with an error is a failure, not the end of the
// folder; only ERROR_NO_MORE_FILES ends it. The platform is made to fail
// through the fault-injection build's FindNextFileW.
class BrokenListingTest : public FolderCopyTest, public testing::WithParamInterface<const wchar_t*> {
  protected:
    void TearDown() override { ::SetEnvironmentVariableW(L"QX_FIND_NEXT_ERROR", nullptr); }
};

TEST_P(BrokenListingTest, OnlyTheEndOfTheListingCountsAsTheEnd)
{
    Write(source_.Path() + L"a.dll", "new");
    ::SetEnvironmentVariableW(L"QX_FIND_NEXT_ERROR", GetParam());
    const bool theEnd = std::wstring(GetParam()) == L"18";
    EXPECT_EQ(Returns([&] { CheckFolderFiles(source_.Path(), destination_.Path()); }), theEnd)
        << "FindNextFileW failing with error " << GetParam()
        << (theEnd ? " is the end of the listing" : " is a broken listing, which must fail the check");
    EXPECT_EQ(Returns([&] { CopyFolderFiles(source_.Path(), destination_.Path()); }), theEnd)
        << "FindNextFileW failing with error " << GetParam()
        << (theEnd ? " is the end of the listing" : " is a broken listing, which must fail the copy");
}

INSTANTIATE_TEST_SUITE_P(Errors, BrokenListingTest,
                         testing::Values(L"18" /* ERROR_NO_MORE_FILES */, L"5" /* ERROR_ACCESS_DENIED */,
                                         L"0x3E3" /* ERROR_OPERATION_ABORTED */));

// The run as a whole, on this 64-bit machine: the product key in both
// registry views, install folders in a temporary folder, and the shipped
// folders beside the test executable, each holding one file named after its
// pair.
constexpr int kPairs = 5;
// Sub-folders of the modules folder.
const wchar_t* const kShippedFolders[kPairs] = {L"bin_x64\\", L"bin\\", L"zfa_act\\", L"181235_bin_x64\\",
                                                L"181235_bin\\"};
const wchar_t* const kInstallFolders[kPairs] = {L"x64\\licensers\\", L"x86\\licensers\\", L"activator\\", L"x64\\",
                                                L"x86\\"};

std::wstring PairFile(int pair)
{
    return L"pair" + std::to_wstring(pair) + L".dll";
}

class ProductRun {
  public:
    ProductRun()
    {
        for (int pair = 1; pair <= kPairs; ++pair) {
            install_.MakeFolder(kInstallFolders[pair - 1]);
            WriteFileBytes(shipped_.MakeFolder(kShippedFolders[pair - 1]) + PairFile(pair), "new");
        }
        // Without trailing backslashes: the run adds them.
        ProductRegistry::SetString(k64BitView, L"", L"InstallBinPath", install_.Path() + L"x64");
        ProductRegistry::SetString(k32BitView, L"", L"InstallBinPath", install_.Path() + L"x86");
        ProductRegistry::SetString(k32BitView, L"Licenseactivator", L"ActivatorPath", install_.Path() + L"activator");
    }

    std::wstring InstallFolder(int pair) const { return install_.Path() + kInstallFolders[pair - 1]; }

    void RemoveShippedFolder(int pair) const { RemoveTree(shipped_.Path() + kShippedFolders[pair - 1]); }

    // The pair's file in its install folder, old and held as a loaded
    // module is, until the run ends.
    void HoldInstalledFile(int pair)
    {
        const std::wstring path = install_.Path() + kInstallFolders[pair - 1] + PairFile(pair);
        WriteFileBytes(path, "old");
        holds_.push_back(Hold(path, FILE_SHARE_READ));
        ASSERT_TRUE(holds_.back());
    }

    // The pairs whose file reached the pair's own install folder; a file
    // anywhere else is reported as a failure.
    std::set<int> CopiedPairs() const
    {
        std::set<int> copied;
        for (int folder = 1; folder <= kPairs; ++folder) {
            for (const std::wstring& name : FolderEntries(install_.Path() + kInstallFolders[folder - 1])) {
                if (name == L"licensers\\") {
                    continue;
                }
                if (name != PairFile(folder)) {
                    ADD_FAILURE() << "pair " << folder << "'s install folder received " << testing::PrintToString(name);
                } else if (ReadFileBytes(install_.Path() + kInstallFolders[folder - 1] + name) == "new") {
                    copied.insert(folder);
                }
            }
        }
        return copied;
    }

  private:
    ProductRegistry registry_;
    TestFolder install_{TestFolder::UniqueTemporary()};
    TestFolder shipped_{GetExecutableFolder() + L"modules\\"};
    std::vector<UniqueFileHandle> holds_;
};

std::string Describe(bool productType1, bool nativeX64)
{
    return std::string(productType1 ? "product type 1" : "another product type") + " on a "
           + (nativeX64 ? "64-bit" : "32-bit") + " machine";
}

struct PlanCase {
    const char* name;
    bool productType1;
    bool nativeX64;
    std::vector<int> pairs; // in the plan's order
};

const PlanCase kPlans[] = {{"Type1On64Bit", true, true, {1, 2, 3, 4, 5}},
                           {"Type1On32Bit", true, false, {2, 3, 5}},
                           {"OtherTypeOn64Bit", false, true, {4, 5}},
                           {"OtherTypeOn32Bit", false, false, {5}}};

class CopyPlanTest : public testing::TestWithParam<PlanCase> {};

TEST_P(CopyPlanTest, CopiesThePlannedPairsIntoTheirViewsFolders)
{
    const PlanCase& c = GetParam();
    const ProductRun run;
    EXPECT_TRUE(Returns([&] { ApplyCopyPlan(c.productType1, c.nativeX64); }));
    EXPECT_EQ(run.CopiedPairs(), std::set<int>(c.pairs.begin(), c.pairs.end()))
        << "wrong pairs copied for " << Describe(c.productType1, c.nativeX64);
}

// The launcher keeps files for the plan it finds in advance: it must be the
// run's own, pair for pair, and finding it must write nothing to the log.
TEST_P(CopyPlanTest, FoundInAdvanceItIsTheRunsPlanAndLogsNothing)
{
    const PlanCase& c = GetParam();
    ProductRun run;
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"MajorVersion", 9);
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"MinorVersion", 1);
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"PatchVersion", 3);
    ProductRegistry::SetNumber(k32BitView, L"", L"ProductType", c.productType1 ? 1 : 2);
    const std::size_t entriesBefore = ProcessLogEntries().size();
    const std::optional<std::vector<CopyPair>> plan = FindCopyPlan(GetExecutableFolder());
    EXPECT_EQ(ProcessLogEntries().size(), entriesBefore) << "finding the plan logs nothing";
    ASSERT_TRUE(plan);
    // Pair for pair on the architecture this host plays; the other's rows check the rest.
    if (c.nativeX64 == IsNativeX64()) {
        ASSERT_EQ(plan->size(), c.pairs.size()) << Describe(c.productType1, c.nativeX64);
        for (std::size_t index = 0; index < c.pairs.size(); ++index) {
            const int pair = c.pairs[index];
            EXPECT_EQ((*plan)[index].source, GetExecutableFolder() + L"modules\\" + kShippedFolders[pair - 1]);
            EXPECT_EQ((*plan)[index].destination, run.InstallFolder(pair));
        }
    }
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"PatchVersion", 2);
    EXPECT_FALSE(FindCopyPlan(GetExecutableFolder())) << "another release: the run copies nothing";
}

// Each planned pair fails in turn, and every pair after it fails in the
// other way: the first failure in plan order is the one logged, whether
// it is a shipped folder that cannot be listed or a file in use, and no
// file of any pair is copied.
TEST_P(CopyPlanTest, FirstFailureInPlanOrderStopsTheRunBeforeAnyCopy)
{
    const PlanCase& c = GetParam();
    for (std::size_t failing = 0; failing < c.pairs.size(); ++failing) {
        for (const bool firstIsInUse : {true, false}) {
            ProductRun run;
            for (std::size_t pair = failing; pair < c.pairs.size(); ++pair) {
                if ((pair == failing) == firstIsInUse) {
                    run.HoldInstalledFile(c.pairs[pair]);
                } else {
                    run.RemoveShippedFolder(c.pairs[pair]);
                }
            }
            const std::string when = Describe(c.productType1, c.nativeX64) + ", pair "
                                     + std::to_string(c.pairs[failing]) + (firstIsInUse ? " in use" : " not shipped")
                                     + " and every pair after it failing";
            EXPECT_FALSE(Returns([&] { ApplyCopyPlan(c.productType1, c.nativeX64); })) << when;
            EXPECT_EQ(run.CopiedPairs(), std::set<int>()) << when << ": a failure seen before the first copy";
            const std::vector<std::string> entries = ProcessLogEntries();
            ASSERT_GE(entries.size(), 2u);
            if (firstIsInUse) {
                EXPECT_EQ(entries.end()[-2], RefusedCopyEntry(PairFile(c.pairs[failing]))) << when;
                EXPECT_EQ(entries.back(), "[error]: CopyFile, GetLastError, 0x00000020") << when;
            } else {
                EXPECT_EQ(entries.back(), "[error]: FindFirstFile, GetLastError, 0x00000003") << when;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plans, CopyPlanTest, testing::ValuesIn(kPlans),
                         [](const testing::TestParamInfo<PlanCase>& param) { return param.param.name; });

TEST(CopyPlanResolutionTest, FolderMissingFromTheRegistryStopsTheRunBeforeAnyCopy)
{
    const ProductRun run;
    const std::wstring activatorKey = std::wstring(kProductKey) + L"\\Licenseactivator";
    ASSERT_EQ(::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, activatorKey.c_str(), k32BitView, 0), ERROR_SUCCESS);
    EXPECT_FALSE(Returns([] { ApplyCopyPlan(true, true); })) << "a missing ActivatorPath must fail the run";
    EXPECT_EQ(run.CopiedPairs(), std::set<int>()) << "every folder is resolved before the first copy";
}

std::size_t SuccessEntriesInTheFile()
{
    const std::string text = ReadFileBytes(ProcessDebugLog().LogPath());
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find("[info]: Hotfix is successful.", at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}

// Plays the next run, which may share the log file: it waits for the run
// lock once the run holds it, and counts the success entries in the file
// at the moment it gets the lock.
class NextRun {
  public:
    NextRun()
        : thread_([this] {
              const UniqueKernelHandle mutex(::CreateMutexW(nullptr, FALSE, L"Global\\qxhotfix-9.1.3-apply"));
              bool held = false;
              while (!held && !stop_) {
                  held = ::WaitForSingleObject(mutex.get(), 0) == WAIT_TIMEOUT;
                  if (!held) {
                      ::ReleaseMutex(mutex.get());
                      ::Sleep(1);
                  }
              }
              if (held && ::WaitForSingleObject(mutex.get(), 60000) != WAIT_TIMEOUT) {
                  successEntries_ = SuccessEntriesInTheFile();
                  ::ReleaseMutex(mutex.get());
              }
          })
    {
    }
    ~NextRun() { Join(); }
    NextRun(const NextRun&) = delete;
    NextRun& operator=(const NextRun&) = delete;

    // None when it never found the lock held.
    std::optional<std::size_t> SuccessEntriesWhenItGoesOn()
    {
        Join();
        return successEntries_;
    }

  private:
    void Join()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::atomic<bool> stop_{false};
    std::optional<std::size_t> successEntries_;
    std::thread thread_;
};

TEST(RunOutcomeTest, AppliedRunExitsWith0AndLogsItsSuccessBeforeTheNextRunGoesOn)
{
    const ProductRun run;
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"MajorVersion", 9);
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"MinorVersion", 1);
    ProductRegistry::SetNumber(k32BitView, L"SystemInfo", L"PatchVersion", 3);
    ProductRegistry::SetNumber(k32BitView, L"", L"ProductType", 1);
    DebugLogFlush();
    const std::size_t before = SuccessEntriesInTheFile();
    NextRun next;
    EXPECT_EQ(RunHotfix(), kOutcomeApplied) << "a run that copied every pair must exit with 0";
    EXPECT_EQ(run.CopiedPairs(), (std::set<int>{1, 2, 3, 4, 5}));
    const std::optional<std::size_t> seen = next.SuccessEntriesWhenItGoesOn();
    ASSERT_TRUE(seen) << "the next run never found the lock held";
    EXPECT_EQ(*seen, before + 1) << "the success entry must be in the file before the lock lets the next run go";
}

} // namespace

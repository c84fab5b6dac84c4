#include "deployment_code.h"
#include "keeping.h"
#include "launcher.h"
#include "long_path.h"
#include "package_check.h"
#include "private_folder.h"
#include "record.h"
#include "registration.h"
#include "removal.h"
#include "store.h"

#include "process_log.h"
#include "product_fixture.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// --- The private folder's access list, read back from what CreateDirectoryW is given.

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) {
        return L"?";
    }
    const std::wstring result = text;
    ::LocalFree(text);
    return result;
}

TEST(PrivateFolderTest, OwnedByTheAdministratorsProtectedAndFullControlForSystemAndAdministratorsOnly)
{
    std::wstring createdPath;
    std::wstring owner;
    std::vector<std::wstring> aceSids;
    std::vector<std::pair<BYTE, BYTE>> aceKindAndFlags;
    std::vector<ACCESS_MASK> aceMasks;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    BOOL daclPresent = FALSE;
    // Reads the descriptor while the call is made: the caller frees it after.
    const auto create = [&](const wchar_t* path, SECURITY_ATTRIBUTES* attributes) -> BOOL {
        createdPath = path;
        EXPECT_NE(attributes, nullptr);
        EXPECT_FALSE(attributes->bInheritHandle);
        const PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
        DWORD revision = 0;
        EXPECT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
        PSID ownerSid = nullptr;
        BOOL ownerDefaulted = FALSE;
        EXPECT_TRUE(::GetSecurityDescriptorOwner(descriptor, &ownerSid, &ownerDefaulted));
        owner = ownerSid ? SidText(ownerSid) : L"";
        PACL dacl = nullptr;
        BOOL defaulted = FALSE;
        EXPECT_TRUE(::GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &defaulted));
        for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
            void* ace = nullptr;
            EXPECT_TRUE(::GetAce(dacl, index, &ace));
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            aceKindAndFlags.emplace_back(allowed->Header.AceType, allowed->Header.AceFlags);
            aceMasks.push_back(allowed->Mask);
            aceSids.push_back(SidText(const_cast<DWORD*>(&allowed->SidStart)));
        }
        return TRUE;
    };

    const PrivateFolder folder = CreatePrivateFolder(L"C:\\temp\\", kPrivateFolderSddl, create);

    ASSERT_EQ(folder.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(createdPath, L"C:\\temp\\" + folder.name);
    EXPECT_EQ(folder.path, createdPath + L"\\");
    EXPECT_TRUE(daclPresent);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the temporary folder";
    EXPECT_EQ(owner, L"S-1-5-32-544") << "an owner may change the access list";
    // Not the launching account: its unelevated programs share its SID.
    EXPECT_EQ(aceSids, (std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544"}));
    for (std::size_t index = 0; index < aceSids.size(); ++index) {
        EXPECT_EQ(aceKindAndFlags[index],
                  std::make_pair(static_cast<BYTE>(ACCESS_ALLOWED_ACE_TYPE),
                                 static_cast<BYTE>(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)));
        EXPECT_EQ(aceMasks[index], static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    }
}

TEST(PrivateFolderTest, AnExistingNameIsNeverUsedAnotherRandomOneIs)
{
    std::vector<std::wstring> tried;
    const auto create = [&](const wchar_t* path, SECURITY_ATTRIBUTES*) -> BOOL {
        tried.push_back(path);
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return tried.size() == 3;
    };
    const PrivateFolder folder = CreatePrivateFolder(L"C:\\temp\\", kPrivateFolderSddl, create);
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_EQ(folder.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(folder.path, tried[2] + L"\\");
    EXPECT_NE(tried[0], tried[1]);
    EXPECT_NE(tried[1], tried[2]);
    for (const std::wstring& path : tried) {
        const std::wstring name = path.substr(std::wstring(L"C:\\temp\\").size());
        EXPECT_EQ(name.size(), 18u) << "qx and 64 bits in hex";
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", 2), std::wstring::npos);
        EXPECT_EQ(name.substr(0, 2), L"qx");
    }
}

TEST(PrivateFolderTest, AnyOtherFailureStopsWithItsError)
{
    int calls = 0;
    const auto create = [&](const wchar_t*, SECURITY_ATTRIBUTES*) -> BOOL {
        ++calls;
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    const PrivateFolder folder = CreatePrivateFolder(L"C:\\temp\\", kPrivateFolderSddl, create);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(folder.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(folder.path.empty());
}

// --- The temporary folder: GetTempPath2W where Windows has it.

DWORD WINAPI SystemTemp(DWORD room, LPWSTR buffer)
{
    const std::wstring folder = L"C:\\Windows\\SystemTemp\\";
    if (room <= folder.size()) {
        return static_cast<DWORD>(folder.size() + 1);
    }
    folder.copy(buffer, folder.size());
    buffer[folder.size()] = L'\0';
    return static_cast<DWORD>(folder.size());
}

DWORD WINAPI LongTemp(DWORD room, LPWSTR buffer)
{
    const std::wstring folder = L"D:\\" + std::wstring(300, L't') + L"\\";
    if (room <= folder.size()) {
        return static_cast<DWORD>(folder.size() + 1);
    }
    folder.copy(buffer, folder.size());
    buffer[folder.size()] = L'\0';
    return static_cast<DWORD>(folder.size());
}

TEST(TemporaryFolderTest, UsesGetTempPath2WhenPresentAndGetTempPathOtherwise)
{
    EXPECT_EQ(TemporaryFolder(SystemTemp), L"C:\\Windows\\SystemTemp\\");
    EXPECT_EQ(TemporaryFolder(LongTemp), L"D:\\" + std::wstring(300, L't') + L"\\");
    wchar_t classic[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH + 1, classic), 0u);
    EXPECT_EQ(TemporaryFolder(nullptr), classic);
}

// --- The package check.

constexpr char kDigestA[] = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
constexpr char kDigestB[] = "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d";

struct MismatchCase {
    const char* name;
    std::vector<std::wstring> staged;
    const wchar_t* changed;    // the staged file whose copy differs from the package's
    const wchar_t* unreadable; // the staged file whose copy cannot be read
    const wchar_t* expected;
};

class PackageCheckTest : public testing::TestWithParam<MismatchCase> {};

// The listed package: the exe, one shipped file, and files that are not
// staged: tools, and a file in a sub-folder of a shipped folder, as
// sha256sum over the whole package lists it.
const std::string kList = std::string(kDigestA) + "  qxhotfix.exe\n" + kDigestB + "  modules/bin/b.dll\n" + kDigestA
                          + "  run-hotfix.exe\r\n" + kDigestA + " *qxlogsummary.exe\n" + kDigestA
                          + "  modules/bin/sub/c.dll\n";

TEST_P(PackageCheckTest, NamesTheFirstFileThatDoesNotMatch)
{
    const MismatchCase& c = GetParam();
    const std::optional<ChecksumList> list = ParseChecksumList(kList);
    ASSERT_TRUE(list);
    const auto digestOf = [&](const std::wstring& path) -> std::string {
        if (path == c.unreadable) {
            return std::string();
        }
        if (path == c.changed) {
            return std::string(64, 'f');
        }
        return ChecksumKey(path) == L"QXHOTFIX.EXE" ? kDigestA : kDigestB;
    };
    EXPECT_EQ(FirstMismatch(*list, c.staged, digestOf), std::wstring(c.expected));
}

const std::vector<std::wstring> kStaged = {L"qxhotfix.exe", L"modules\\bin\\b.dll"};

INSTANTIATE_TEST_SUITE_P(
    Packages, PackageCheckTest,
    testing::Values(
        MismatchCase{"Matches", kStaged, L"", L"", L""},
        MismatchCase{"CaseOfNamesDoesNotCount", {L"QXHOTFIX.EXE", L"modules\\BIN\\b.DLL"}, L"", L"", L""},
        MismatchCase{"ChangedFile", kStaged, L"modules\\bin\\b.dll", L"", L"modules\\bin\\b.dll has changed"},
        MismatchCase{"ChangedExe", kStaged, L"qxhotfix.exe", L"", L"qxhotfix.exe has changed"},
        MismatchCase{"UnreadableCopy", kStaged, L"", L"modules\\bin\\b.dll", L"modules\\bin\\b.dll cannot be read"},
        MismatchCase{"MissingFile", {L"qxhotfix.exe"}, L"", L"", L"modules/bin/b.dll is missing"},
        MismatchCase{"MissingExe", {L"modules\\bin\\b.dll"}, L"", L"", L"qxhotfix.exe is missing"},
        MismatchCase{"ExtraFile",
                     {L"qxhotfix.exe", L"modules\\bin\\b.dll", L"modules\\bin\\evil.dll"},
                     L"",
                     L"",
                     L"modules\\bin\\evil.dll is not listed"}),
    [](const testing::TestParamInfo<MismatchCase>& param) { return param.param.name; });

TEST(PackageCheckTest, AnyLineNotOfTheFormMakesTheListUnreadable)
{
    const std::string good = std::string(kDigestA) + "  qxhotfix.exe";
    // line, whether the list is read
    const std::vector<std::pair<std::string, bool>> cases = {
        {good + "\n", true},
        {good + "\r\n", true},
        {good, true},
        {"", true},
        {good.substr(1), false},                                     // 63 digits
        {std::string(kDigestA) + " qxhotfix.exe", false},            // one blank
        {std::string(kDigestA) + "  ", false},                       // no path
        {"CA978112" + good.substr(8), false},                        // upper-case digits
        {std::string(64, 'g') + "  qxhotfix.exe", false},            // not hex
        {good + "\n\n", false},                                      // an empty line
        {good + "\n" + good + "\n", false},                          // the same path twice
        {good + "\n" + kDigestB + "  QXHOTFIX.EXE\n", false},        // the same path in another case
        {std::string(kDigestA) + "  modules/bin/\xff.dll\n", false}, // not UTF-8
    };
    for (const auto& [text, readable] : cases) {
        EXPECT_EQ(ParseChecksumList(text).has_value(), readable) << text;
    }
}

TEST(PackageCheckTest, OnlyTheExeAndTheShippedFoldersAreStaged)
{
    EXPECT_TRUE(IsStagedPath(ChecksumKey(L"qxhotfix.exe")));
    EXPECT_TRUE(IsStagedPath(ChecksumKey(L"modules/zfa_act/z.dll")));
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"run-hotfix.exe")));
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"qxlogsummary.exe")));
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"run-hotfix.cmd")));
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"modules/bin/sub/c.dll"))) << "no run copies a sub-folder's file";
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"modules/other/o.dll")));
    EXPECT_FALSE(IsStagedPath(ChecksumKey(L"modules/bin/")));
}

// The launcher's check of what it staged, on real files: a package folder
// with its list, and a private folder holding the staged copies.
TEST(PackageCheckTest, StagedCopiesAreCheckedAgainstThePackagesList)
{
    struct {
        const char* behaviour;
        std::vector<std::wstring> staged;
        const char* stagedExe; // the staged copy's content
        const wchar_t* expected;
    } rows[] = {
        {"a matching package runs", {L"qxhotfix.exe", L"modules\\bin\\b.dll"}, "a", L""},
        {"a changed copy", {L"qxhotfix.exe", L"modules\\bin\\b.dll"}, "changed", L"qxhotfix.exe has changed"},
        {"a listed file not staged", {L"qxhotfix.exe"}, "a", L"modules/bin/b.dll is missing"},
        {"a staged file not listed",
         {L"qxhotfix.exe", L"modules\\bin\\b.dll", L"modules\\bin\\x.dll"},
         "a",
         L"modules\\bin\\x.dll is not listed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        const TestFolder package(TestFolder::UniqueTemporary());
        const TestFolder stage(TestFolder::UniqueTemporary());
        WriteFileBytes(package.Path() + L"SHA256SUMS", kList);
        stage.MakeFolder(L"modules\\bin");
        WriteFileBytes(stage.Path() + L"qxhotfix.exe", row.stagedExe); // kDigestA is the digest of "a"
        WriteFileBytes(stage.Path() + L"modules\\bin\\b.dll", "b");    // kDigestB is the digest of "b"
        WriteFileBytes(stage.Path() + L"modules\\bin\\x.dll", "x");
        StagedDigests digests;
        const std::wstring problem = ChecksumProblem(package.Path(), stage.Path(), row.staged, digests);
        EXPECT_EQ(problem, *row.expected
                               ? L"run-hotfix: the package does not match SHA256SUMS: " + std::wstring(row.expected)
                               : std::wstring());
    }
}

TEST(PackageCheckTest, Sha256OfAFileOrNothingWhenItCannotBeRead)
{
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::wstring path = std::wstring(temp) + L"qx_launcher_sha256.txt";
    WriteFileBytes(path, "abc");
    const FileHasher hasher;
    EXPECT_EQ(hasher.DigestOf(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    WriteFileBytes(path, std::string(200000, 'a'));
    EXPECT_EQ(hasher.DigestOf(path), "2287d207f24a941ff3b56c04c8a25ad56b63e3023207b3bb5b4ac0c9869d74be");
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(hasher.DigestOf(path), "");
}

// --- Long paths.

struct LongPathCase {
    const char* name;
    std::wstring path;
    std::wstring expected;
};

class ExtendedLengthPathTest : public testing::TestWithParam<LongPathCase> {};

TEST_P(ExtendedLengthPathTest, PrefixesOnlyPathsTooLongForTheClassicLimit)
{
    EXPECT_EQ(ExtendedLengthPath(GetParam().path), GetParam().expected);
}

const std::wstring kDeep = std::wstring(250, L'd');

INSTANTIATE_TEST_SUITE_P(
    Paths, ExtendedLengthPathTest,
    testing::Values(LongPathCase{"ShortDrivePath", L"C:\\temp\\qx\\", L"C:\\temp\\qx\\"},
                    LongPathCase{"ShortSharePath", L"\\\\server\\logs\\", L"\\\\server\\logs\\"},
                    LongPathCase{"LongDrivePath", L"C:\\" + kDeep, L"\\\\?\\C:\\" + kDeep},
                    LongPathCase{"LongSharePath", L"\\\\server\\logs\\" + kDeep, L"\\\\?\\UNC\\server\\logs\\" + kDeep},
                    LongPathCase{"ForwardSlashesBecomeBackslashes", L"C:/x/" + kDeep, L"\\\\?\\C:\\x\\" + kDeep},
                    LongPathCase{"AlreadyPrefixed", L"\\\\?\\C:\\" + kDeep, L"\\\\?\\C:\\" + kDeep}),
    [](const testing::TestParamInfo<LongPathCase>& param) { return param.param.name; });

TEST(ShareArgumentTest, LosesTheQuoteThatAnEscapingBackslashLeftIn)
{
    // "\\server\logs\" on the command line arrives as \\server\logs"
    EXPECT_EQ(ShareOfArgument(L"\\\\server\\logs\""), L"\\\\server\\logs");
    EXPECT_EQ(ShareOfArgument(L"C:\\a b\\"), L"C:\\a b\\");
}

// --- The record of kept files.

const std::string kDigestC(64, 'c');
const std::string kRecordHead = "qx913hotfix2 kept files, 2026-12-10 13:00:00\r\n";

TEST(RecordTest, IsWrittenAndReadBackWhole)
{
    const Record record{"2026-12-10 13:00:00",
                        {RecordEntry{L"C:\\q\\a.dll", true, kDigestC, {kDigestA}},
                         RecordEntry{L"\\\\server\\q\\n\u00e9w.dll", false, "", {kDigestA, kDigestB}}}};
    const std::string text = FormatRecord(record);
    EXPECT_EQ(text, kRecordHead + "kept\t" + kDigestC + "\t" + kDigestA + "\tC:\\q\\a.dll\r\n" + "new\t-\t" + kDigestA
                        + "," + kDigestB + "\t\\\\server\\q\\n\xc3\xa9w.dll\r\n");
    const std::optional<Record> read = ParseRecord(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(FormatRecord(*read), text);
    EXPECT_EQ(KeptFileName(0), L"1.kept");
}

TEST(RecordTest, ADamagedRecordIsNeverRead)
{
    const std::string kept = "kept\t" + kDigestC + "\t" + std::string(kDigestA) + "\tC:\\q\\a.dll\r\n";
    const std::vector<std::pair<const char*, std::string>> damaged = {
        {"no first line", kept},
        {"cut short", kRecordHead + kept.substr(0, kept.size() - 2)},
        {"another state", kRecordHead + "gone" + kept.substr(4)},
        {"a kept file without its digest", kRecordHead + "kept\t-\t" + kDigestA + "\tC:\\q\\a.dll\r\n"},
        {"a new file with an original", kRecordHead + "new" + kept.substr(4)},
        {"no package digest", kRecordHead + "kept\t" + kDigestC + "\t\tC:\\q\\a.dll\r\n"},
        {"a short digest", kRecordHead + "kept\t" + kDigestC.substr(1) + kept.substr(4 + 65)},
        {"a relative path", kRecordHead + "kept\t" + kDigestC + "\t" + kDigestA + "\tq\\a.dll\r\n"},
        {"a path that is not UTF-8", kRecordHead + "kept\t" + kDigestC + "\t" + kDigestA + "\tC:\\\xff.dll\r\n"},
        {"a path twice, in another case", kRecordHead + kept + "new\t-\t" + kDigestA + "\tC:\\Q\\A.DLL\r\n"},
        {"a bare line feed", kRecordHead + kept.substr(0, kept.size() - 2) + "\n"},
    };
    for (const auto& [what, text] : damaged) {
        EXPECT_FALSE(ParseRecord(text)) << what;
    }
    EXPECT_TRUE(ParseRecord(kRecordHead + kept));
}

// --- Keeping: the first original wins.

class KeepingTest : public testing::Test {
  protected:
    TestFolder store_{TestFolder::UniqueTemporary()};
    TestFolder install_{TestFolder::UniqueTemporary()};
    const FileHasher hasher_;

    // Writes the shipped content into a file, as the copy would.
    PlannedFile Planned(const wchar_t* name, const std::string& shipped) const
    {
        const std::wstring shippedPath = store_.Path() + L"shipped.tmp";
        WriteFileBytes(shippedPath, shipped);
        const PlannedFile file{install_.Path() + name, hasher_.DigestOf(shippedPath)};
        ::DeleteFileW(shippedPath.c_str());
        return file;
    }

    Record ReadBack() const
    {
        DWORD error = ERROR_SUCCESS;
        const std::optional<Record> record = ReadRecord(store_.Path(), error);
        EXPECT_TRUE(record) << error;
        return record.value_or(Record{});
    }
};

TEST_F(KeepingTest, TheFirstOriginalWinsAndNoShippedFileIsKeptAsOne)
{
    WriteFileBytes(install_.Path() + L"a.dll", "original a");
    WriteFileBytes(install_.Path() + L"done.dll", "shipped done");
    const std::vector<PlannedFile> first = {Planned(L"a.dll", "shipped a"), Planned(L"new.dll", "shipped new"),
                                            Planned(L"done.dll", "shipped done"), Planned(L"a.dll", "shipped a2")};
    ASSERT_EQ(KeepOriginals(store_.Path(), first, hasher_), L"");
    WriteFileBytes(install_.Path() + L"a.dll", "shipped a2");
    WriteFileBytes(install_.Path() + L"new.dll", "shipped new");
    // A second run, of another package, over the first one's files.
    const std::vector<PlannedFile> second = {Planned(L"A.DLL", "second a"), Planned(L"new.dll", "second new")};
    ASSERT_EQ(KeepOriginals(store_.Path(), second, hasher_), L"");

    const Record record = ReadBack();
    ASSERT_EQ(record.entries.size(), 2u) << "done.dll already held its shipped file: nothing to take back";
    EXPECT_EQ(record.entries[0].destination, install_.Path() + L"a.dll");
    EXPECT_TRUE(record.entries[0].existed);
    EXPECT_EQ(ReadFileBytes(store_.Path() + KeptFileName(0)), "original a") << "a second run keeps no hotfixed file";
    EXPECT_EQ(record.entries[0].packageDigests,
              (std::vector<std::string>{first[0].packageDigest, first[3].packageDigest, second[0].packageDigest}));
    EXPECT_FALSE(record.entries[1].existed) << "new.dll was new before the first run, whatever came after";
    EXPECT_EQ(FolderEntries(store_.Path()), (std::vector<std::wstring>{L"1.kept", L"record.txt"}));
}

TEST_F(KeepingTest, AFileThatCannotBeKeptLeavesTheStoreAsItWas)
{
    WriteFileBytes(install_.Path() + L"a.dll", "original a");
    WriteFileBytes(install_.Path() + L"held.dll", "original held");
    ASSERT_EQ(KeepOriginals(store_.Path(), {Planned(L"a.dll", "shipped a")}, hasher_), L"");
    const std::string before = ReadFileBytes(store_.Path() + kRecordName);
    WriteFileBytes(install_.Path() + L"b.dll", "original b");
    const UniqueFileHandle held(::CreateFileW((install_.Path() + L"held.dll").c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);

    const std::wstring problem =
        KeepOriginals(store_.Path(), {Planned(L"b.dll", "shipped b"), Planned(L"held.dll", "shipped held")}, hasher_);
    EXPECT_EQ(problem, L"run-hotfix: cannot keep \"" + install_.Path() + L"held.dll\", error 32");
    EXPECT_EQ(ReadFileBytes(store_.Path() + kRecordName), before);
    EXPECT_EQ(FolderEntries(store_.Path()), (std::vector<std::wstring>{L"1.kept", L"record.txt"}));
}

// --- The store: trusted only when SYSTEM or the Administrators own it and
// no one else may change it.

// A launcher goes on without the launchers' lock that another account made
// first, as the exe does without its own: squatting the name must not hold
// every deployment off.
TEST(LauncherLockTest, ALockThatAUserMadeIsNotWaitedFor)
{
    UniqueLocalMemory descriptor;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                       descriptor.put(), nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    const UniqueKernelHandle squatted(::CreateMutexW(&attributes, TRUE, L"Global\\qxhotfix-9.1.3-keep"));
    ASSERT_TRUE(squatted);
    const ULONGLONG start = ::GetTickCount64();
    std::wstring problem;
    std::thread launcher([&problem] { problem = LauncherLock().Problem(); });
    launcher.join();
    EXPECT_LT(::GetTickCount64() - start, 5000u) << "waited for a lock that no launcher holds";
    EXPECT_EQ(problem, L"");
    ::ReleaseMutex(squatted.get());
}

TEST(StoreTest, TrustsOnlyWhatSystemAndTheAdministratorsAloneMayChange)
{
    const std::vector<std::pair<const wchar_t*, const wchar_t*>> cases = {
        {kStoreSddl, L""},
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", L""},
        {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", L""},
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", L"it is owned by another account"},
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)", L"it is owned by another account"},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x100116;;;BU)", L"it lets another account write"},
        {L"O:BAD:P(A;OICIIO;GA;;;CO)", L"it lets another account write"},
        {L"O:BAD:(A;;WD;;;AU)", L"it lets another account write"},
        {L"O:BAD:(A;;0x40000;;;WD)", L"it lets another account write"},
        {L"O:BA", L"it lets every account write"},
    };
    for (const auto& [sddl, problem] : cases) {
        UniqueLocalMemory descriptor;
        ASSERT_TRUE(
            ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr))
            << testing::PrintToString(std::wstring(sddl));
        EXPECT_EQ(SecurityProblem(descriptor.get()), problem) << testing::PrintToString(std::wstring(sddl));
    }
}

// Wine gives every object one owner: the test build's seam reads it as
// QX_STORE_ACCOUNT, by default the Administrators.
TEST(StoreTest, IsMadeWithItsAccessListAndRefusedWhenAnotherAccountOwnsIt)
{
    const TestFolder base(TestFolder::UniqueTemporary());
    const std::wstring path = StoreFolderIn(base.Path());
    EXPECT_FALSE(OpenStore(path, false).exists) << "no store, nothing made";
    EXPECT_FALSE(FileExists(path));
    const OpenedStore made = OpenStore(path, true);
    EXPECT_EQ(made.problem, L"");
    EXPECT_TRUE(made.hold);
    EXPECT_TRUE(FileExists(path + L"."));
    const ScopedEnvironment squatter(L"QX_STORE_ACCOUNT", L"BU");
    EXPECT_EQ(OpenStore(path, false).problem,
              L"run-hotfix: cannot use the store \"" + path + L"\": it is owned by another account");
}

// --- The removal checks every file before it changes any.

TEST(RemovalTest, RestoresNothingWhenTheRecordIsDamagedOrAFileChanged)
{
    const TestFolder base(TestFolder::UniqueTemporary());
    const TestFolder install(TestFolder::UniqueTemporary());
    const std::wstring store = StoreFolderIn(base.Path());
    ASSERT_EQ(OpenStore(store, true).problem, L"");
    const FileHasher hasher;
    std::vector<PlannedFile> files;
    for (const wchar_t* name : {L"a.dll", L"b.dll", L"z.dll"}) {
        WriteFileBytes(install.Path() + name, "original");
        WriteFileBytes(base.Path() + L"shipped", "shipped");
        files.push_back(PlannedFile{install.Path() + name, hasher.DigestOf(base.Path() + L"shipped")});
    }
    ASSERT_EQ(KeepOriginals(store, files, hasher), L"");
    for (const PlannedFile& file : files) {
        WriteFileBytes(file.destination, "shipped");
    }
    const std::string record = ReadFileBytes(store + kRecordName);
    const std::vector<std::pair<const char*, std::function<void()>>> faults = {
        {"the last file changed", [&] { WriteFileBytes(files.back().destination, "a later update"); }},
        {"a damaged record", [&] { WriteFileBytes(store + kRecordName, record.substr(0, record.size() - 1)); }},
    };
    for (const auto& [what, fault] : faults) {
        fault();
        std::wstring logPath;
        EXPECT_EQ(RemoveFromStoreAt(store, base.Path(), logPath), 1) << what;
        EXPECT_EQ(ReadFileBytes(files.front().destination), "shipped") << what << ": nothing restored";
        EXPECT_TRUE(FileExists(store + KeptFileName(0))) << what << ": the store stays";
        ::DeleteFileW(logPath.c_str());
        WriteFileBytes(files.back().destination, "shipped");
        WriteFileBytes(store + kRecordName, record);
    }
    std::wstring logPath;
    EXPECT_EQ(RemoveFromStoreAt(store, base.Path(), logPath), 0);
    for (const PlannedFile& file : files) {
        EXPECT_EQ(ReadFileBytes(file.destination), "original");
    }
    EXPECT_FALSE(FileExists(store + L"."));
    ::DeleteFileW(logPath.c_str());
}

} // namespace

// --- The exit code deployment tools get, from the run's own log.

TEST(DeploymentExitCodeTest, OnlyAFileInUseOrALockHeldPastTheWaitAsksForARetry)
{
    const auto failed = [](const char* error, std::optional<std::uint32_t> code) {
        RunSummary run;
        run.outcome = Outcome::kFailed;
        run.error = error;
        run.errorCode = code;
        return std::vector<RunSummary>{run};
    };
    const auto ran = [](Outcome outcome) {
        RunSummary run;
        run.outcome = outcome;
        if (outcome == Outcome::kNotApplicable) {
            run.error = "This Version of Quorvex is not applicable.";
        }
        return std::vector<RunSummary>{run};
    };
    const struct {
        const char* behaviour;
        DWORD exeCode;
        std::vector<RunSummary> runs;
        int expected;
    } rows[] = {
        {"applied", 0, ran(Outcome::kApplied), 0},
        {"a file in use", 1, failed("CopyFile, GetLastError, 0x00000020", 0x20), kRetryLater},
        {"a locked range", 1, failed("CopyFile, GetLastError, 0x00000021", 0x21), kRetryLater},
        {"another run held the lock past the wait", 1, failed("Another hotfix run did not finish in time.", {}),
         kRetryLater},
        {"access denied", 1, failed("CopyFile, GetLastError, 0x00000005", 0x5), 1},
        {"a missing folder", 1, failed("FindFirstFile, GetLastError, 0x00000003", 0x3), 1},
        {"not applicable", 1, ran(Outcome::kNotApplicable), 1},
        {"interrupted", 1, failed("The run was interrupted.", {}), 1},
        {"no log", 1, {}, 1},
        {"an unreadable log", 1, ran(Outcome::kUnreadable), 1},
        {"no failure entry", 1, ran(Outcome::kIncomplete), 1},
        {"a crash passes unchanged", 0xC0000005, failed("CopyFile, GetLastError, 0x00000020", 0x20),
         static_cast<int>(0xC0000005)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DeploymentExitCode(row.exeCode, row.runs), row.expected) << row.behaviour;
    }
}

// --- The entry in Programs and Features, under a key of the tests' own.

constexpr wchar_t kTestUninstallKey[] = L"SOFTWARE\\qxhotfix-unit-tests\\Uninstall\\qx913hotfix2";

// The test entry in the 32-bit view, opened for reading and writing.
UniqueRegKey OpenTestEntry()
{
    UniqueRegKey key;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestUninstallKey, 0, KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY, key.put());
    return key;
}

std::optional<std::wstring> RegisteredText(const wchar_t* name)
{
    wchar_t text[512] = {};
    DWORD bytes = sizeof text;
    if (::RegGetValueW(OpenTestEntry().get(), nullptr, name, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(text);
}

std::optional<DWORD> RegisteredNumber(const wchar_t* name)
{
    DWORD number = 0;
    DWORD bytes = sizeof number;
    if (::RegGetValueW(OpenTestEntry().get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &number, &bytes)
        != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return number;
}

TEST(RegistrationTest, WrittenWholeReplacedWholeAndRemoved)
{
    Registration registration;
    registration.store = L"C:\\ProgramData\\VELTRANE\\qx913hotfix2\\";
    registration.uninstaller = registration.store + L"run-hotfix.exe";
    registration.installed.wYear = 2026;
    registration.installed.wMonth = 3;
    registration.installed.wDay = 7;
    registration.estimatedSizeKiB = 1234;
    ASSERT_EQ(RegisterHotfix(registration, kTestUninstallKey), static_cast<DWORD>(ERROR_SUCCESS));
    // A value that an earlier run, or anyone, left is gone after the next.
    {
        const UniqueRegKey key = OpenTestEntry();
        const DWORD stray = 7;
        ASSERT_EQ(
            ::RegSetValueExW(key.get(), L"Stray", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stray), sizeof stray),
            ERROR_SUCCESS);
    }
    ASSERT_EQ(RegisterHotfix(registration, kTestUninstallKey), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(IsHotfixRegistered(kTestUninstallKey));

    const std::wstring uninstall = L"\"C:\\ProgramData\\VELTRANE\\qx913hotfix2\\run-hotfix.exe\" /uninstall";
    const std::pair<const wchar_t*, std::wstring> texts[] = {
        {L"DisplayName", L"Quorvex 9.1.3 Hotfix"}, {L"DisplayVersion", L"9.1.3.6"},
        {L"Publisher", L"Quorvex Support"},        {L"InstallDate", L"20260307"},
        {L"InstallLocation", registration.store},  {L"UninstallString", uninstall},
        {L"QuietUninstallString", uninstall},
    };
    for (const auto& [name, text] : texts) {
        EXPECT_EQ(RegisteredText(name), text) << name;
    }
    EXPECT_EQ(RegisteredNumber(L"NoModify"), DWORD{1});
    EXPECT_EQ(RegisteredNumber(L"NoRepair"), DWORD{1});
    EXPECT_EQ(RegisteredNumber(L"EstimatedSize"), DWORD{1234});
    EXPECT_EQ(RegisteredNumber(L"Stray"), std::nullopt) << "the entry was not replaced whole";

    EXPECT_EQ(UnregisterHotfix(kTestUninstallKey), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(IsHotfixRegistered(kTestUninstallKey));
    EXPECT_EQ(UnregisterHotfix(kTestUninstallKey), static_cast<DWORD>(ERROR_SUCCESS)) << "nothing to remove";
}

#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The record of what the launcher kept: one UTF-8 text file in the store,
// "record.txt". Its first line names the hotfix and the time of the last
// change; then one line per install file that a run copies over, in the
// order of the first copy that takes it, with tab-separated fields:
//   kept <original's SHA-256> <package SHA-256s> <full path>
//   new  -                    <package SHA-256s> <full path>
// "kept" files existed before the first replacement; a copy of each lies in
// the store as "<line number>.kept" (the first file line is 1). "new" files
// did not exist. The package digests, comma-separated, are those of every
// shipped file that the copy puts there (two when both registry views name
// one folder). Lines end with CR LF.

struct RecordEntry {
    std::wstring destination;
    bool existed = false;
    std::string originalDigest; // when it existed
    std::vector<std::string> packageDigests;
};

struct Record {
    std::string time; // "YYYY-MM-DD hh:mm:ss", local
    std::vector<RecordEntry> entries;
};

inline constexpr wchar_t kRecordName[] = L"record.txt";

std::string FormatRecord(const Record& record);

// Nothing when any line is not of the record's form or a path comes twice.
std::optional<Record> ParseRecord(std::string_view text);

// The name in the store of the kept copy of the entry at index.
std::wstring KeptFileName(std::size_t index);

// The entries of a record by their destinations, compared as Windows
// compares paths, for finding many of them in large records.
class EntryIndex {
  public:
    EntryIndex() = default;
    explicit EntryIndex(const Record& record);

    // The index of the entry for destination; nothing when there is none.
    std::optional<std::size_t> Find(const std::wstring& destination) const;

    // Notes the entry at index; false when its destination is noted already.
    bool Add(const std::wstring& destination, std::size_t index);

  private:
    std::map<std::wstring, std::size_t> entries_;
};

// Adds the package digest of a file that a run copies to an entry that the
// record holds already, unless the entry has it: the first original wins.
void AddPackageDigest(RecordEntry& entry, const std::string& packageDigest);

// Reads the store's record: an empty record when there is none, nothing
// (with ERROR_INVALID_DATA or the read's error) when it cannot be read whole
// or is damaged.
std::optional<Record> ReadRecord(const std::wstring& store, DWORD& error);

// Writes the record into the store through a temporary file and a rename,
// so that an ended launcher leaves the old record or the new one, never a
// part. ERROR_SUCCESS or the error; on failure the old record stays.
DWORD ReplaceRecord(const std::wstring& store, const Record& record);

// The local time as a record names it.
std::string RecordTime();

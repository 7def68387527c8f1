#pragma once
// What the NTFS raw scan of an Advance Search collects, in fixed-size
// records with the names in one character store, for the numbering, the
// identification and the opening that follow. Nothing here is shown or
// stored as it is; the values are the ones the text tables of the scan
// carried (sector numbers as their low 32 bits, as the cells kept them).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::records {

/// A name in NtfsScanRecords::names.
struct ScanName {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
};

/// One FILE record found by the scan.
struct MftScanRecord {
    std::uint64_t size = 0;       // unnamed data stream, 0 without one
    std::int64_t date = 0;        // creation time of the file name (FILETIME)
    std::uint32_t sector = 0;     // low 32 bits of the record's first sector
    std::uint32_t parent = 0;     // low 32 bits of the parent reference
    std::uint32_t self = 0;       // record number; 0 while not known
    std::uint32_t firstRun = 0;   // folders: first cluster of the index allocation
    ScanName name;
    bool folder = false;
    bool deleted = false;
};

/// One INDX record found by the scan.
struct IndexScanRecord {
    std::uint32_t sector = 0;     // low 32 bits of its first sector
    std::uint32_t owner = 0;      // parent reference of its first entry
    std::uint32_t vcn = 0;        // low 32 bits
    std::uint64_t entriesBegin = 0;  // its folder entries in NtfsScanRecords::entries
    std::uint64_t entriesEnd = 0;
};

/// A folder entry of an INDX record, as the record numbering matches them.
struct IndexFolderEntry {
    std::int64_t date = 0;        // creation time
    std::uint32_t record = 0;     // low 32 bits of the entry's record reference
    std::uint32_t parent = 0;     // low 32 bits of the parent reference
    ScanName name;                // the low bytes of the UTF-16 name
};

/// A folder record of a scanned range with the file system it was put in.
struct NtfsScanFolder {
    std::uint64_t fileSystem = 0; // 0 not yet looked at; 4294967295 none found
    std::int64_t date = 0;
    std::uint32_t sector = 0;
    std::uint32_t self = 0;
    std::uint32_t parent = 0;
    std::uint32_t firstRun = 0;
    ScanName name;
    bool deleted = false;
};

struct NtfsScanRecords {
    std::vector<MftScanRecord> mft;          // in disk order
    std::vector<IndexScanRecord> index;      // in disk order
    std::vector<IndexFolderEntry> entries;
    std::vector<NtfsScanFolder> folders;     // the folder records, in disk order
    std::string names;
    // Every sector of [seenFrom, seenTo) was looked at; these of them begin
    // with "INDX" (ascending), whatever else they hold.
    std::vector<std::uint64_t> indxSectors;
    std::uint64_t seenFrom = 0;
    std::uint64_t seenTo = 0;

    ScanName addName(std::string_view text) {
        ScanName name{names.size(), static_cast<std::uint32_t>(text.size())};
        names.append(text);
        return name;
    }
    std::string_view name(ScanName n) const { return std::string_view(names).substr(n.offset, n.length); }
    void clear() {
        mft.clear();
        mft.shrink_to_fit();
        index.clear();
        index.shrink_to_fit();
        entries.clear();
        entries.shrink_to_fit();
        folders.clear();
        folders.shrink_to_fit();
        names.clear();
        names.shrink_to_fit();
        indxSectors.clear();
        indxSectors.shrink_to_fit();
        seenFrom = seenTo = 0;
    }
};

}  // namespace qvx::records

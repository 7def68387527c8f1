#pragma once
// The contents of an NTFS file: the unnamed $DATA attribute of its MFT
// record, read again from the record's sectors. Data is resident (inside the
// record) or described by run lists, possibly split over several attribute
// instances held in extension records that the base record's attribute list
// names. Runs may be sparse; the data may be LZNT1-compressed; bytes past
// the initialized size read as zeros. Every size here is 64-bit.

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "ntfs/mft_run_table.h"
#include "partition/validate_volume.h"
#include "recover/extents.h"
#include "util/le.h"

namespace qvx::recover {

/// Bounds on what a hostile record can make us do.
inline constexpr std::size_t kMaxRunsPerFile = 1u << 20;
inline constexpr std::size_t kMaxExtensionRecords = 4096;
inline constexpr std::uint64_t kMaxAttributeListBytes = 1u << 20;

struct NtfsVolume {
    partition::VolumeRange range;
    std::uint64_t cluster0 = 0;  // first sector of the volume (cluster 0)
    std::uint32_t sectorsPerCluster = 0;
    const ntfs::MftRunTable* mft = nullptr;
    /// Where records were seen (record number -> sector), as the file and
    /// folder rows give it. Looked up first: a tree rebuilt from a raw scan
    /// knows its records' sectors even when the MFT's own runs are lost.
    const std::unordered_map<std::uint32_t, std::uint32_t>* recordSectors = nullptr;
};

/// Applies the update sequence array over every 512-byte stride of the
/// buffer it covers; false when a stride did not end with the sequence
/// number (a torn or damaged record), though the bytes are restored anyway.
bool applyRecordFixup(std::span<std::uint8_t> record);

/// Decodes a run list (mapping pairs) starting at offset of attr. Clusters
/// become extents of sectors on the volume starting at cluster0. Returns
/// false when the list is malformed (the extents decoded so far are kept).
/// vcnCount receives the number of clusters described.
bool decodeRunList(util::Bytes attr, std::size_t offset, std::uint64_t cluster0, std::uint32_t sectorsPerCluster,
                   std::vector<Extent>& out, std::uint64_t& vcnCount);

struct NtfsFileData {
    bool found = false;         // a record with an unnamed $DATA was read
    bool complete = true;       // every part of the data could be located
    std::string problem;        // why not, for the report
    FileLayout layout;
    bool encrypted = false;
    std::string unicodeName;    // UTF-8 of the best file name, if any
    std::string lowByteName;    // the same name as the tables carry it
    /// Every file name of the record: (as the tables carry it, UTF-8).
    std::vector<std::pair<std::string, std::string>> names;
    bool hasModified = false;
    std::int64_t modifiedUnix = 0;  // $STANDARD_INFORMATION modification time
};

/// The UTF-8 form of the record's name whose 8-bit form is shown, or shown
/// itself as UTF-8 when the record has no such name.
std::string fullNtfsName(const NtfsFileData& data, const std::string& shown);

/// Reads record recordNumber and locates its unnamed data.
NtfsFileData readNtfsFileData(const NtfsVolume& volume, std::uint32_t recordNumber);

/// The same over a record already read (fixup applied); extension records
/// are fetched with fetch (record number -> 1024 bytes, empty if unreadable).
using RecordFetcher = std::vector<std::uint8_t> (*)(const NtfsVolume&, std::uint32_t);
NtfsFileData decodeNtfsFileData(const NtfsVolume& volume, std::span<const std::uint8_t> record,
                                std::uint32_t recordNumber, RecordFetcher fetch);

/// Reads one record (1024 bytes, fixup applied); empty when it cannot be
/// read or is not a FILE record.
std::vector<std::uint8_t> readMftRecord(const NtfsVolume& volume, std::uint32_t recordNumber);

}  // namespace qvx::recover

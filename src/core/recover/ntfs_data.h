#pragma once
// The contents of an NTFS file: a data stream (the unnamed $DATA, or a
// named alternate stream) of its MFT record, read again from the record's
// sectors and put together by the one file decoder of ntfs/, extension
// records included. Runs may be sparse; the data may be LZNT1-compressed;
// bytes past the initialized size read as zeros. Every size here is 64-bit.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ntfs/mft_file.h"
#include "ntfs/mft_run_table.h"
#include "partition/validate_volume.h"
#include "recover/extents.h"
#include "util/le.h"

namespace qvx::recover {

struct NtfsVolume {
    partition::VolumeRange range;
    std::uint64_t cluster0 = 0;  // first sector of the volume (cluster 0)
    std::uint32_t sectorsPerCluster = 0;
    std::uint64_t volumeClusters = 0;  // bounds run lists; 0 when not known
    const ntfs::MftRunTable* mft = nullptr;
    /// Where records were seen (record number, sector), as the items give
    /// it, in record order, one pair a record. Looked up first: a tree
    /// rebuilt from a raw scan knows its records' sectors even when the
    /// MFT's own runs are lost.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>* recordSectors = nullptr;
    std::uint32_t recordBytes() const { return mft != nullptr ? mft->recordBytes() : ntfs::kDefaultRecordBytes; }
};

struct NtfsFileData {
    bool found = false;         // a record with the stream was read
    bool complete = true;       // every part of the data could be located
    std::string problem;        // why not, for the report
    FileLayout layout;
    bool encrypted = false;
    std::string name;           // UTF-8 of the best file name, if any
    bool hasModified = false;
    std::int64_t modifiedUnix = 0;  // $STANDARD_INFORMATION modification time
    std::int64_t accessedUnix = 0;
};

/// The layout of a decoded stream on the volume.
FileLayout layoutOfStream(const NtfsVolume& volume, const ntfs::DataStream& stream, bool& encrypted);

/// Reads record recordNumber and locates the stream (empty: the unnamed data).
NtfsFileData readNtfsFileData(const NtfsVolume& volume, std::uint64_t recordNumber, std::string_view stream = {});

/// The same over a record already read (fixup applied); extension records
/// are fetched with fetch (record number -> record bytes with fixup, empty if
/// unreadable), or not at all when fetch is null.
using RecordFetcher = std::vector<std::uint8_t> (*)(const NtfsVolume&, std::uint32_t);
NtfsFileData decodeNtfsFileData(const NtfsVolume& volume, std::span<const std::uint8_t> record,
                                std::uint64_t recordNumber, RecordFetcher fetch, std::string_view stream = {});

/// Reads one record (fixup applied); empty when it cannot be read or is not
/// a FILE record.
std::vector<std::uint8_t> readMftRecord(const NtfsVolume& volume, std::uint64_t recordNumber);

}  // namespace qvx::recover

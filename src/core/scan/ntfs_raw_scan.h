#pragma once
// The raw scan of an Advance Search on NTFS: every sector of a range is
// looked at once, 1024-sector chunk after chunk (read several chunks at a
// time). NTFS boot sectors go to BootSectorTable; FILE and INDX records go,
// as fixed-size records, to RecordTables::ntfsScan; the assignment
// (ntfs_assignment.h) then numbers the records and works out the file
// systems they belong to from what the scan kept, without reading again.

#include <cstdint>
#include <stop_token>
#include <vector>

#include "partition/validate_volume.h"
#include "records/tables.h"
#include "util/le.h"
#include "util/page_aligned.h"
#include "util/progress.h"

namespace qvx::scan {

/// Columns of MftRecordTable.
struct NtfsMftCol {
    static constexpr int kName = 0, kSector = 1, kParentMft = 2, kSelfMft = 3, kSize = 4, kType = 5,
                         kFsNumber = 6, kDate = 7, kFirstRun = 8, kDeleted = 9;
};
/// Columns of IndexRecordTable.
struct NtfsIndexCol {
    static constexpr int kSector = 0, kMftReference = 1, kVcn = 2, kFsNumber = 3;
};
/// Columns of BootSectorTable and FileSystemTable as the NTFS path fills them,
/// in 512-byte sectors; kRootSectors holds the sectors per MFT record.
struct NtfsBootCol {
    static constexpr int kSector = 0, kSpf = 1, kSpc = 2, kRootSectors = 3, kRootStart = 4, kReserveSectors = 5,
                         kCluster0Start = 6, kFirstFat = 7, kSecondFat = 8, kTotalSectors = 9, kPartType = 10;
};
/// Columns of DirectoryScanTable.
struct NtfsDirCol {
    static constexpr int kSector = 0, kSelfCluster = 1, kParentCluster = 2, kFileSystem = 3, kDate = 4, kTime = 5,
                         kFirstRun = 6;
};

inline constexpr const char* kNtfsMftFoundLabel = "MFT Found\t\t\t:";
inline constexpr const char* kNtfsBootSectorsFoundLabel = "Boot Sectors Found\t\t:";
/// "File System" / "fsNumber" text of a row not assigned to a file system.
inline constexpr const char* kNoFileSystemText = "4294967295";
inline constexpr std::uint64_t kNoFileSystem = 4294967295u;
/// Index records larger than this are not taken.
inline constexpr std::uint64_t kMaxIndexRecordBytes = 65536;
/// The unit of the scan: records are looked for in every sector of a chunk,
/// the last chunk of a range is examined whole, and the progress moves on
/// chunk by chunk.
inline constexpr std::uint32_t kScanChunkSectors = 1024;
/// FILE records are 1024 bytes on most volumes, one 4096-byte sector on a
/// volume made with 4096-byte sectors; no larger ones are taken.
inline constexpr std::uint32_t kMaxMftRecordBytes = 4096;

/// Chunks read with one request.
inline constexpr std::uint32_t kScanChunksPerRead = 8;

/// The boot-sector test: ends in 0x55 0xAA and carries "NTFS" at 3.
bool isNtfsBootSector(util::Bytes sector);
/// The size a FILE record's header allocates (low 16 bits at 0x1C), or 0
/// unless it is 1024, 2048 or 4096 bytes.
std::uint32_t mftRecordBytesOf(util::Bytes header);
/// 512-byte sectors per MFT record as the NTFS boot sector's
/// clusters-per-record field gives them (2, 4 or 8), or 0 for another size.
std::uint32_t bootMftRecordSectors(util::Bytes sector);
/// Appends the BootSectorTable row of an NTFS boot sector.
void addNtfsBootSectorRow(util::Bytes sector, std::uint64_t lba, records::RecordTable& BootSectorTable);
/// Adds the record of the FILE record found at lba (as many bytes as its
/// header allocates, 1024 to 4096; the fixup is applied to a copy).
void addMftRecord(util::Bytes record, std::uint64_t lba, records::NtfsScanRecords& scanned);

struct NtfsScanResult {
    std::uint64_t sectorsScanned = 0;
    bool stopped = false;
};

/// Scans [startSector, endSector) (endSector exclusive); the last chunk is
/// examined whole. Clears and refills BootSectorTable and tables.ntfsScan.
NtfsScanResult scanRawNtfs(const partition::VolumeRange& disk, std::uint64_t startSector, std::uint64_t endSector,
                           records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop);

/// Writes what tables.ntfsScan holds as the text tables MftRecordTable,
/// IndexRecordTable and (once the assignment has run) DirectoryScanTable,
/// for inspection; the search itself never needs them.
void writeNtfsScanTables(records::RecordTables& tables);

}  // namespace qvx::scan

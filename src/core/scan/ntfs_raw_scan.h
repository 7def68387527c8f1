#pragma once
// The raw scan of an Advance Search on NTFS: every sector of a range is
// read in 1024-sector chunks and looked at once. NTFS boot sectors go to
// BootSectorTable, FILE records to MftRecordTable and INDX records to
// IndexRecordTable; the assignment (ntfs_assignment.h) then numbers the
// records and works out the file systems they belong to.

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
inline constexpr std::uint32_t kScanChunkSectors = 1024;
/// FILE records are 1024 bytes on most volumes, one 4096-byte sector on a
/// volume made with 4096-byte sectors; no larger ones are taken.
inline constexpr std::uint32_t kMaxMftRecordBytes = 4096;

/// Serves sector reads from the chunk in memory when they fall inside it,
/// else from the disk.
class ChunkedSectors {
public:
    explicit ChunkedSectors(const partition::VolumeRange& disk) : m_disk(disk) {}

    /// Reads the chunk at lba (count sectors, the rest of the chunk zeroed).
    void loadChunk(std::uint64_t lba, std::uint32_t count);
    util::Bytes sector(std::uint32_t index) const;
    /// Reads count sectors at lba into out (resized to count * 512).
    void read(std::uint64_t lba, std::uint32_t count, std::vector<std::uint8_t>& out) const;
    const partition::VolumeRange& disk() const { return m_disk; }

private:
    const partition::VolumeRange& m_disk;
    util::PageAlignedBytes m_chunk = util::PageAlignedBytes(std::size_t{kScanChunkSectors} * 512);
    std::uint64_t m_chunkLba = 0;
    std::uint32_t m_chunkSectors = 0;
};

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
/// Appends the MftRecordTable row of the FILE record (as on disk, as many
/// bytes as its header allocates; the fixup is applied to a copy).
void addMftRecordRow(util::Bytes record, std::uint64_t lba, records::RecordTable& MftRecordTable);
/// Appends the IndexRecordTable row of the INDX record at lba, reading the
/// rest of it through sectors. False when the record gives no row.
bool addIndexRecordRow(const ChunkedSectors& sectors, std::uint64_t lba, util::Bytes firstSector,
                       records::RecordTable& IndexRecordTable);

struct NtfsScanResult {
    std::uint64_t sectorsScanned = 0;
    bool stopped = false;
};

/// Scans [startSector, endSector) (endSector exclusive); the last chunk is
/// examined whole. Clears and refills the three scan tables.
NtfsScanResult scanRawNtfs(const partition::VolumeRange& disk, std::uint64_t startSector, std::uint64_t endSector,
                           records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop);

}  // namespace qvx::scan

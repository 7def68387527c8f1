#pragma once
// The raw scan of Advance Search on FAT: every sector of a range is read
// once, and FAT boot sectors and directory clusters (recognised by their
// "." and ".." entries) are written to BootSectorTable and
// DirectoryScanTable. The identification then groups the directories into
// file systems, either by a boot sector whose geometry puts them where they
// were found (phase 1) or by a geometry derived from pairs of directories
// (phase 2), and writes one FileSystemTable row per file system.
//
// Boot sector fields read (offsets in the sector):
//   13 u8  sectors per cluster      14 u16 reserved sectors
//   17 u16 root entries (FAT16)     22 u16 sectors per FAT (FAT16)
//   32 u32 total sectors            36 u32 sectors per FAT (FAT32)
//   44 u32 root cluster (FAT32)     54 "FAT16" type text, 82 "FAT32" type text
//  510 0x55 0xAA

#include <cstdint>
#include <stop_token>
#include <string>

#include "partition/validate_volume.h"
#include "records/tables.h"
#include "util/le.h"
#include "util/progress.h"

namespace qvx::scan {

inline constexpr const char* kBootSectorsFoundLabel = "Boot Sectors Found\t\t:";
inline constexpr const char* kFatDirectoriesFoundLabel = "Directories Found\t\t:";
/// Sectors read per request by the raw scan.
inline constexpr std::uint32_t kScanChunkSectors = 1024;

/// Column indexes shared by BootSectorTable and FileSystemTable.
enum BootSectorColumn : int {
    kBsSector = 0, kBsSpf, kBsSpc, kBsRootSectors, kBsRootStart, kBsReserveSectors, kBsCluster0Start,
    kBsFirstFat, kBsSecondFat, kBsTotalSectors, kBsPartType
};

/// Column indexes of DirectoryScanTable.
enum DirectoryScanColumn : int {
    kDsSector = 0, kDsSelfCluster, kDsParentCluster, kDsFileSystem, kDsDate, kDsTime, kDsFirstRun
};

/// "." entry at 0 and ".." entry at 32: bytes 0 '.', 1 ' ', 32 '.', 33 '.', 34 ' '.
bool startsWithDotEntries(util::Bytes sector);

/// Appends the BootSectorTable row of a FAT boot sector found at lba, or
/// nothing when the sector is not one (no 0x55 0xAA, neither "32" at 85 nor
/// "16" at 57) or its fields are absurd: a cluster size other than 1..128
/// sectors (a power of two), or a geometry that does not fit 32-bit sector
/// numbers. Returns true when a row was appended.
bool appendFatBootSectorRow(util::Bytes sector, std::uint64_t lba, records::RecordTable& BootSectorTable);

/// Appends the DirectoryScanTable row of a sector that begins with "." and
/// ".." entries ("File System" "0"); false when it does not.
bool appendFatDirectoryRow(util::Bytes sector, std::uint64_t lba, records::RecordTable& DirectoryScanTable);

/// Clears BootSectorTable and DirectoryScanTable and scans the sectors
/// [startSector, endSector) in chunks of kScanChunkSectors. A chunk that
/// cannot be read is skipped. Returns false when stopped; the tables keep
/// what was found until then.
bool ScanFatEvidence(const partition::VolumeRange& range, std::uint64_t startSector, std::uint64_t endSector,
                     records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop);

struct FatIdentification {
    int fileSystemCount = 0;  // rows of FileSystemTable
    int phase = 0;            // 1 when phase 1 ended, 2 when phase 2 ended
};

/// Clears FileSystemTable and assigns every DirectoryScanTable row whose
/// "File System" is 0 to a file system: phase 1 against the boot sectors
/// found, phase 2 from pairs of directories ("-1" for a directory that fits
/// nothing). kind is the kind selected for the search ("FAT16" or "FAT32");
/// a derived file system takes it, and becomes "FAT32" when one of its
/// directories lies at a cluster above 0x10000.
FatIdentification IdentifyFatFileSystems(records::RecordTables& tables, const std::string& kind,
                                         util::ProgressSink& progress);

}  // namespace qvx::scan

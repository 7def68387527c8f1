#pragma once
// Opening a FAT file system found by the raw scan: its directories become
// FolderTable rows, a file system derived from directory positions alone
// gets its FAT copies searched for, and the geometry the folder tree and the
// file lists read from is taken from its FileSystemTable row.

#include <cstdint>
#include <stop_token>
#include <string>

#include "partition/validate_volume.h"
#include "partition/volume_parameters.h"
#include "records/tables.h"
#include "util/progress.h"

namespace qvx::scan {

/// Sectors searched for the FAT copies before cluster 0 of a derived file
/// system, and the sector the search starts at when cluster 0 lies closer
/// to the start of the disk.
inline constexpr std::uint32_t kFat16CopySearchSectors = 550;
inline constexpr std::uint32_t kFat32CopySearchSectors = 30000;
inline constexpr std::uint32_t kFatCopySearchFloor = 63;

/// Searches the two FAT copies of the FileSystemTable row (a sector that
/// begins with 0xF8 0xFF 0xFF starts a copy) before its cluster 0 and writes
/// "firstFAT" and "secondFAT" as found; with both, "SPF" and "Root Start"
/// too. The search never starts before rangeStart when that lies below the
/// usual floor of sector 63, so a volume at the very start of an image is
/// found as well. Returns false when stopped.
bool findFatCopies(const partition::VolumeRange& range, std::uint64_t rangeStart, records::RecordTable& FileSystemTable,
                   int row, util::ProgressSink& progress, std::stop_token stop);

struct FatFileSystem {
    std::string kind;  // "FAT16" or "FAT32"
    partition::VolumeParameters params;
};

/// The geometry of a FileSystemTable row: an empty "Root Sectors" means 32
/// on FAT16, an empty "Root Start" means 2.
FatFileSystem fatFileSystemFromRow(const records::RecordTable& FileSystemTable, int row);

/// Fills FolderTable (the synthetic "QVX_Miscellaneous" row first) with the
/// directories assigned to file system number (1-based), completes a
/// derived row's FAT copies, runs the lost directory search and names the
/// first level from the root directory. FolderTable ends sorted on
/// "parent", ready for the folder tree. Returns false when number names no
/// FAT row of FileSystemTable.
bool OpenFatFileSystem(const partition::VolumeRange& range, int number, records::RecordTables& tables,
                       FatFileSystem& opened, util::ProgressSink& progress, std::stop_token stop);

}  // namespace qvx::scan

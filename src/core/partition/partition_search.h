#pragma once
// The search for lost partitions: probes the disk at cylinder boundaries and
// then at 1 MiB boundaries for FAT32, FAT16 and NTFS boot sectors and appends
// what it finds to the disk's partition list. When nothing at all is listed,
// the whole disk is offered as "Unknown Partition" so that a sector-range
// search can still run.

#include <cstdint>
#include <stop_token>
#include <string>

#include "disk/sector_reader.h"
#include "partition/partition_table.h"
#include "util/progress.h"

namespace qvx::partition {

inline constexpr const char* kSearchDoneHelp =
    "Select the Partition from left Panel from which you want to recover Data. Press 'Search More Partitions' "
    "button to search other Lost or Deleted Partitions. Press 'Next' button to start searching Data.";
inline constexpr const char* kSearchStoppedHelp =
    "Select the Partition from left Panel from which you want to recover Data. If the partition (from which you "
    "want to recover your data) is not in the list, Press \u2018Search More Partitions\u2019 button to search other "
    "Lost or Deleted Partitions. Press \u2018Next\u2019 button to start searching Data.";
inline constexpr const char* kSearchStartHelp =
    "To stop press 'Stop Searching Partition' button or Please wait for the process to be completed. It is strongly "
    "recommended that you should allow the software to complete the Process.";
inline constexpr const char* kTableCorruptedHelp = "Partition Table is corrupted. Software is Searching Partitions...";
inline constexpr const char* kStopSearchQuestion = "Do you want to stop searching partition?";

/// Disk geometry as the disk details give it (decimal texts).
struct SearchGeometry {
    std::string cylindersText;
    std::string headsText;
    std::string sectorsPerTrackText;
    std::uint64_t totalSectors = 0;
};

struct NormalisedGeometry {
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
};

/// Converts the texts (missing ones read 0) and normalises any geometry
/// whose track is not 63 sectors to 63 sectors and 255 heads.
NormalisedGeometry normaliseGeometry(const SearchGeometry& geometry);

/// What a probed sector holds: type name and volume size in sectors, or an
/// empty name.
struct ProbedBootSector {
    std::string name;
    std::uint64_t sizeSectors = 0;  // 512-byte sectors, whatever the volume's own sector size
};
ProbedBootSector recogniseBootSector(const std::uint8_t* sector);

struct PartitionSearchResult {
    bool stopped = false;
    int added = 0;
    bool unknownOffered = false;
};

/// Probes every cylinder (two positions each), then the first sector of
/// every MiB of the disk (geometry.totalSectors), and appends new partitions
/// to list in that order, at most up to 26 entries. A boot sector already
/// listed is not appended again: one of the partition table's entries with
/// the same first sector and type, or one found by a search with the same
/// first sector, end sector and type. Stops between probes once
/// stop is requested, keeping what was found. Ends by offering "Unknown Partition"
/// (the whole disk) when the list is empty.
PartitionSearchResult PartitionSearch(disk::SectorReader& reader, int diskIndex, const SearchGeometry& geometry,
                                      DiskPartitionList& list, std::stop_token stop, util::ProgressSink& progress);

/// How thoroughly the lost partition search looks: the probes at cylinder
/// and MiB boundaries, or every sector of the disk.
enum class SearchDepth { Probes, Deep };

/// Sectors read at once by the deep search (2 MiB).
inline constexpr std::uint32_t kDeepSearchChunkSectors = 4096;

/// The volume whose boot sector (the primary or the backup copy) sector is,
/// found at lba; an empty name when it is no plausible boot sector. NTFS
/// keeps its backup in the volume's last sector (start = LBA - total sectors
/// field), FAT32 at the sector its BPB names, normally 6. The other copy, or
/// else the MFT or first FAT the fields point at, tells which copy it is.
struct FoundVolume {
    std::string name;           // "NTFS", "FAT32", "FAT16" or empty
    std::uint64_t firstSector = 0;
    std::uint64_t sizeSectors = 0;  // 512-byte sectors
    bool fromBackup = false;    // the sector found was the backup copy
};
FoundVolume locateVolume(disk::SectorReader& reader, int diskIndex, std::uint64_t lba, const std::uint8_t* sector);

/// Reads the whole disk (geometry.totalSectors) front to back in large
/// sequential reads and looks at every sector for FAT16, FAT32 and NTFS
/// boot sectors and their backups; each volume is appended once (not when
/// the list already holds the same kind at the same first sector), up to 26
/// entries, and the new entries are put in disk order. An entry ends at the
/// first sector + the size field, + 1 for NTFS, whose size field leaves out
/// the backup boot sector in the volume's last sector. Stops between reads
/// once stop is requested, keeping what was found; offers "Unknown
/// Partition" when the list stays empty, as PartitionSearch does.
PartitionSearchResult DeepPartitionSearch(disk::SectorReader& reader, int diskIndex, const SearchGeometry& geometry,
                                          DiskPartitionList& list, std::stop_token stop,
                                          util::ProgressSink& progress);

/// PartitionSearch or DeepPartitionSearch.
PartitionSearchResult SearchPartitions(SearchDepth depth, disk::SectorReader& reader, int diskIndex,
                                       const SearchGeometry& geometry, DiskPartitionList& list, std::stop_token stop,
                                       util::ProgressSink& progress);

}  // namespace qvx::partition

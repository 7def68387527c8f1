#pragma once
// The PC partition table of a disk: the four slots of the master boot record
// and the chain of extended boot records, with each volume recognised by the
// signature in its own boot sector.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "disk/sector_reader.h"

namespace qvx::partition {

inline constexpr int kMaxPartitions = 26;

/// Where a listed partition came from.
enum class TableKind : std::uint8_t {
    Mbr,     // the PC partition table (MBR slots and the extended chain)
    Gpt,     // the GUID partition table behind a protective MBR
    Search,  // the lost partition search
    None,    // no table: sector 0 is the boot sector of the disk's one volume
};

/// "mbr", "gpt", "search" or "none".
const char* tableKindName(TableKind kind);

/// Sectors here are 512-byte LBAs, as the reader counts, whatever the
/// disk's logical sector size; the front ends divide by
/// SectorReader::sectorUnits to show the disk's own sector numbers.
struct PartitionEntry {
    std::string fileSystemName;   // "NTFS", "FAT16", "FAT32" or "Unknown Partition"
    std::uint64_t firstSector = 0;
    std::uint64_t endSector = 0;  // first + count, exclusive
    bool foundBySearch = false;   // appended by the lost partition search
    TableKind table = TableKind::Mbr;
};

/// The partitions of one disk, in list order; position + 1 is the
/// partition number everywhere.
struct DiskPartitionList {
    std::vector<PartitionEntry> entries;  // at most kMaxPartitions
    int count() const { return static_cast<int>(entries.size()); }
    bool full() const { return entries.size() >= kMaxPartitions; }
    /// "Partition - N ( NAME )" for the entry at index.
    std::string label(int index) const;
};

/// "Partition - " + number + " ( " + name + " )".
std::string partitionLabel(int number, const std::string& name);

enum class TableReadOutcome {
    Listed,        // the table was read (possibly listing nothing)
    NoSignature,   // sector 0 lacks 0x55 0xAA: nothing listed
    Corrupted,     // a primary slot failed the plausibility test; the read ended there
};

/// A recognised volume the list cannot hold (its sectors lie beyond what
/// 64-bit byte offsets reach).
struct SkippedPartition {
    std::string fileSystemName;
    std::uint32_t entryIndex = 0;  // position in the table it came from (0-based)
    std::uint64_t firstSector = 0;
    std::uint64_t endSector = 0;   // exclusive
};

struct TableReadResult {
    TableReadOutcome outcome = TableReadOutcome::Listed;
    bool partitionsListed = false;  // set when the first partition was listed
    TableKind table = TableKind::Mbr;  // Gpt when a GUID partition table was read
    bool gptBackupUsed = false;        // the primary GPT header or its array was damaged
    std::vector<SkippedPartition> skipped;
};

/// Reads the table at sector (0 for the MBR) of the disk into list (emptied
/// first). totalSectors is the disk's 64-bit sector count used by the
/// plausibility test. onCorrupted is called when a primary slot starts within
/// 24576 sectors of the disk's end (or beyond it); the read ends there and the
/// partitions already listed stay. When sector 0 holds a protective slot
/// (type 0xEE) and a valid GUID partition table follows, that table is listed
/// instead of the MBR slots (see gpt.h). When sector 0 is itself a valid
/// NTFS, FAT16 or FAT32 boot sector (a volume image, a stick formatted
/// without a table), the whole disk is listed as that one volume, table None.
TableReadResult ReadPartitionTable(disk::SectorReader& reader, int diskIndex, std::uint64_t sector,
                                   std::uint64_t totalSectors, DiskPartitionList& list,
                                   const std::function<void()>& onCorrupted = {});

/// Corrects a partition type byte by the signature in the volume's first
/// sector: "FAT32" at 82 gives 0x0B, "FAT16" at 54 gives 0x06, "NTFS" at 3
/// gives 0x07; otherwise the type stays.
std::uint8_t correctTypeBySignature(std::uint8_t type, const std::uint8_t* bootSector);

/// Name listed for a corrected type, or empty when the type is not listed in
/// that place (0x01 is FAT16 only inside an extended chain).
std::string nameForType(std::uint8_t type, bool inExtendedChain);

/// Rows of the details list for a partition: (label, value).
using DetailRows = std::vector<std::pair<std::string, std::string>>;

struct DiskFacts {
    std::uint64_t totalSectors = 0;  // the disk details' sector count (512-byte)
    std::string capacityText;        // "%ld MB"
    /// 512-byte sectors per logical sector: the sector numbers shown are
    /// the disk's own.
    std::uint32_t sectorUnits = 1;
};

struct PartitionDetails {
    std::string searchModeCaption;   // "Standard Search" or "Advance Search"
    int fileSystemComboIndex = -1;   // FAT16 0, FAT32 1, NTFS 2
    DetailRows rows;
    // Advance Search: the sector-range inputs.
    std::string startSectorText;
    std::string endSectorText;
    bool expandDiskNode = false;
};

/// Details of the partition at index of disk diskIndex for the search mode
/// (advance = Advance Search).
PartitionDetails ShowPartitionDetails(const std::string& name, int index, int diskIndex, const PartitionEntry& entry,
                                      bool advance, const DiskFacts& disk);

}  // namespace qvx::partition

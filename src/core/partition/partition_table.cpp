#include "partition/partition_table.h"

#include <algorithm>

#include <cstring>
#include <set>

#include "disk/sector_size.h"
#include "partition/gpt.h"
#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

constexpr std::size_t kSlotTable = 0x1BE;
constexpr std::size_t kSlotSize = 16;
constexpr std::size_t kSlotType = 4;
constexpr std::size_t kSlotFirst = 8;
constexpr std::size_t kSlotCount = 12;
// A slot must start at least this many sectors before the disk's end.
constexpr std::int64_t kPlausibleTail = 0x6000;
// Bound on extended boot records followed, on top of the loop check.
constexpr int kMaxChainSteps = 4096;

bool isExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

struct Slot {
    std::uint8_t type;
    std::uint32_t first;
    std::uint32_t count;
};

Slot slotAt(const std::uint8_t* sector, int k) {
    util::Bytes b(sector, disk::kSectorSize);
    const std::size_t at = kSlotTable + kSlotSize * static_cast<std::size_t>(k);
    return {util::le8(b, at + kSlotType), util::le32(b, at + kSlotFirst), util::le32(b, at + kSlotCount)};
}

int readOne(disk::SectorReader& reader, int diskIndex, std::uint64_t lba, std::uint8_t* buffer) {
    std::memset(buffer, 0, disk::kSectorSize);
    return reader.ReadSectors(diskIndex, lba, 1, buffer);
}

/// Appends an entry of 512-byte sectors.
void listPartition(DiskPartitionList& list, TableReadResult& result, const std::string& name, std::uint64_t first,
                   std::uint64_t count) {
    list.entries.push_back({name, first, first + count, false});
    result.partitionsListed = true;
}

/// The file system whose boot sector sector 0 is, when the disk is one
/// volume without a table: the signature must be in sector 0 itself (a
/// partition table's boot code never holds "NTFS    " at 3 or "FAT32   " at
/// 82), and the volume's own validation must accept it. Empty otherwise.
std::string wholeDiskVolume(disk::SectorReader& reader, int diskIndex, std::uint64_t totalSectors,
                            const std::uint8_t* sector0) {
    util::Bytes b(sector0, disk::kSectorSize);
    std::string name;
    if (util::bytesEqual(b, 3, "NTFS    ")) name = "NTFS";
    else if (util::bytesEqual(b, 82, "FAT32   ")) name = "FAT32";
    else if (util::bytesEqual(b, 54, "FAT16   ")) name = "FAT16";
    if (name.empty() || totalSectors < 2) return {};
    VolumeRange range{&reader, diskIndex, 0, totalSectors - 1};
    VolumeParameters params;
    const int valid = name == "NTFS"    ? validateNtfsVolume(range, params)
                      : name == "FAT32" ? validateFat32Volume(range, params)
                                        : validateFat16Volume(range, params);
    return valid == 1 ? name : std::string();
}

}  // namespace

const char* tableKindName(TableKind kind) {
    switch (kind) {
        case TableKind::Gpt: return "gpt";
        case TableKind::Search: return "search";
        case TableKind::None: return "none";
        case TableKind::Mbr: break;
    }
    return "mbr";
}

std::string partitionLabel(int number, const std::string& name) {
    return "Partition - " + std::to_string(number) + " ( " + name + " )";
}

std::string DiskPartitionList::label(int index) const {
    if (index < 0 || index >= count()) return {};
    return partitionLabel(index + 1, entries[static_cast<std::size_t>(index)].fileSystemName);
}

std::uint8_t correctTypeBySignature(std::uint8_t type, const std::uint8_t* bootSector) {
    util::Bytes b(bootSector, disk::kSectorSize);
    if (util::bytesEqual(b, 82, "FAT32")) return 0x0B;
    if (util::bytesEqual(b, 54, "FAT16")) return 0x06;
    if (util::bytesEqual(b, 3, "NTFS")) return 0x07;
    return type;
}

std::string nameForType(std::uint8_t type, bool inExtendedChain) {
    switch (type) {
        case 0x07: return "NTFS";
        case 0x04:
        case 0x06:
        case 0x0E: return "FAT16";
        case 0x01: return inExtendedChain ? "FAT16" : std::string();
        case 0x0B:
        case 0x0C: return "FAT32";
        default: return {};
    }
}

TableReadResult ReadPartitionTable(disk::SectorReader& reader, int diskIndex, std::uint64_t sector,
                                   std::uint64_t totalSectors, DiskPartitionList& list,
                                   const std::function<void()>& onCorrupted) {
    TableReadResult result;
    list.entries.clear();
    std::uint8_t table[disk::kSectorSize];
    std::uint8_t boot[disk::kSectorSize];

    readOne(reader, diskIndex, sector, table);
    if (table[510] != 0x55 || table[511] != 0xAA) {
        result.outcome = TableReadOutcome::NoSignature;
        return result;
    }
    if (sector == 0) {
        const std::string volume = wholeDiskVolume(reader, diskIndex, totalSectors, table);
        if (!volume.empty()) {
            // A truncated image keeps the size its volume claims, so that
            // what lies past the image's end is reported unreadable rather
            // than the volume's own structures refused as out of bounds.
            const util::Bytes sector0(table, disk::kSectorSize);
            // The boot sector counts in its own sector size (0x0B).
            const std::uint64_t units =
                std::max<std::uint32_t>(1, disk::validLogicalSectorSize(util::le16(sector0, 0x0B)) / disk::kSectorSize);
            std::uint64_t claimed = volume == "NTFS" ? util::le64(sector0, 0x28) + 1
                                    : util::le16(sector0, 19) != 0 ? util::le16(sector0, 19)
                                                                : util::le32(sector0, 32);
            constexpr std::uint64_t kMaxClaimed = UINT64_MAX / 2 / disk::kMaxLogicalSectorSize;
            claimed = std::min(claimed, kMaxClaimed) * units;
            listPartition(list, result, volume, 0, std::max<std::uint64_t>(totalSectors, claimed));
            list.entries.back().table = TableKind::None;
            result.table = TableKind::None;
            return result;
        }
    }

    // A protective slot (0xEE) announces a GUID partition table; with a
    // hybrid MBR the other slots only mirror some of its entries, so an intact
    // GPT is listed instead of them.
    bool protective = false;
    for (int k = 0; k < 4; ++k) protective = protective || slotAt(table, k).type == kProtectiveType;
    if (protective && sector == 0) {
        const std::uint64_t deviceSectors = reader.totalSectors(diskIndex);
        const GptReadResult gpt = readGpt(reader, diskIndex, deviceSectors ? deviceSectors : totalSectors, list,
                                          reader.logicalSectorSize(diskIndex));
        if (gpt.source != GptSource::None) {
            result.table = TableKind::Gpt;
            result.gptBackupUsed = gpt.source == GptSource::Backup;
            result.skipped = gpt.skipped;
            result.partitionsListed = !list.entries.empty();
            return result;
        }
    }

    // Slots count in the disk's logical sectors; the list keeps 512-byte ones.
    const std::uint64_t units = reader.sectorUnits(diskIndex);
    bool hasExtended = false;
    std::uint64_t extendedBase = 0;
    for (int k = 0; k < 4; ++k) {
        const Slot slot = slotAt(table, k);
        if (slot.type == 0) continue;
        // The protective slot covers the whole disk: it is neither a volume
        // nor a sign of a corrupted table.
        if (slot.type == kProtectiveType) continue;
        // The whole disk's size is 64-bit: disks of 2^31 sectors and more
        // must not fail this test.
        const std::uint64_t first = slot.first * units;
        const std::int64_t tail = static_cast<std::int64_t>(totalSectors) - static_cast<std::int64_t>(first);
        if (tail < kPlausibleTail) {
            result.outcome = TableReadOutcome::Corrupted;
            if (onCorrupted) onCorrupted();
            return result;
        }
        readOne(reader, diskIndex, first, boot);
        const std::uint8_t type = correctTypeBySignature(slot.type, boot);
        const std::string name = nameForType(type, false);
        if (!name.empty() && !list.full()) listPartition(list, result, name, first, slot.count * units);
        if (isExtended(type)) {
            hasExtended = true;
            extendedBase = first;
        }
    }

    // Logical drives: each extended boot record holds a volume slot and a
    // link to the next record, relative to the extended partition's start.
    std::set<std::uint64_t> visited;
    bool pending = hasExtended;
    std::uint64_t link = 0;
    for (int step = 0; pending && step < kMaxChainSteps; ++step) {
        pending = false;
        const std::uint64_t record = extendedBase + link * units;
        if (!visited.insert(record).second) break;  // links back to a record already read
        readOne(reader, diskIndex, record, table);
        for (int k = 0; k < 2; ++k) {
            const Slot slot = slotAt(table, k);
            if (slot.type == 0) continue;
            std::memset(boot, 0, sizeof boot);
            if (!isExtended(slot.type)) reader.ReadSectors(diskIndex, record + slot.first * units, 1, boot);
            const std::uint8_t type = correctTypeBySignature(slot.type, boot);
            const std::string name = nameForType(type, true);
            if (!name.empty()) {
                if (list.full()) return result;  // a 27th partition ends the read
                listPartition(list, result, name, record + std::uint64_t{slot.first} * units,
                              std::uint64_t{slot.count} * units);
            }
            if (isExtended(type)) {
                pending = true;
                link = slot.first;
            }
        }
    }
    return result;
}

PartitionDetails ShowPartitionDetails(const std::string& name, int index, int diskIndex, const PartitionEntry& entry,
                                      bool advance, const DiskFacts& disk) {
    PartitionDetails d;
    if (name == "FAT16") d.fileSystemComboIndex = 0;
    else if (name == "FAT32") d.fileSystemComboIndex = 1;
    else if (name == "NTFS") d.fileSystemComboIndex = 2;
    const auto sizeMb = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        entry.endSector >= entry.firstSector ? (entry.endSector - entry.firstSector) >> 11 : 0, UINT32_MAX));
    const bool unknown = name == "Unknown Partition";
    const std::uint64_t units = std::max<std::uint32_t>(1, disk.sectorUnits);
    const std::string first = std::to_string(entry.firstSector / units);
    const std::string end = std::to_string(entry.endSector / units);
    const std::string total = std::to_string(disk.totalSectors / units);
    if (!advance) {
        d.searchModeCaption = "Standard Search";
        d.rows = {
            {"1.   Disk Number                    :  ", std::to_string(diskIndex)},
            {"2.   Partition Number              :  ", std::to_string(index + 1)},
            {"3.   Partition Type                   :  ", name},
            {"4.   Search Mode                   :  ", "Standard"},
            {"5.   Start Sector                     :  ", first},
            {"6.   End Sector                      :  ", end},
            {"7.   Size                                 :  ", std::to_string(sizeMb) + " MB"},
        };
        if (unknown) {
            d.rows[2].second = "Unknown Partition";
            d.rows[4].second = "0";
            d.rows[5].second = total;
            d.rows[6].second = disk.capacityText;
            d.expandDiskNode = true;
        }
    } else {
        d.searchModeCaption = "Advance Search";
        d.rows = {
            {"1.   Partition Number          :          ", std::to_string(index + 1)},
            {"2.   Search Mode               :          ", "Advance"},
            {"3.   Size                             :  ", std::to_string(sizeMb) + " MB"},
        };
        d.startSectorText = first;
        d.endSectorText = end;
        if (unknown) {
            d.rows[2].second = disk.capacityText;
            d.startSectorText = "0";
            d.endSectorText = total;
        }
    }
    return d;
}

}  // namespace qvx::partition

// FAT16 and FAT32 boot-sector validation.
//
// Boot-sector fields used (little-endian, offsets in the boot sector):
//   11 u16 bytes per sector (512, or up to 4096 on a 4Kn volume)
//   13 u8  sectors per cluster        14 u16 reserved sectors
//   17 u16 root entries (FAT16)       22 u16 sectors per FAT (FAT16)
//   36 u32 sectors per FAT (FAT32)    44 u32 root directory cluster (FAT32)
//   510/511  0x55 0xAA
// The second FAT must begin with the media byte 0xF8 of a fixed disk; that
// test confirms the reserved-sector and FAT-size fields point where a FAT is.
// The fields count in the volume's own sectors; the parameters keep 512-byte
// sectors, so a volume with 4096-byte sectors has every count multiplied by 8.

#include <array>
#include <cstdint>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

using Sector = std::array<std::uint8_t, disk::kSectorSize>;

constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kSectorsPerFat16 = 22;
constexpr std::size_t kSectorsPerFat32 = 36;
constexpr std::size_t kRootCluster32 = 44;
constexpr std::uint64_t kFat32BackupOffset = 6;
constexpr std::uint8_t kMediaFixedDisk = 0xF8;

bool hasBootSignature(const Sector& s) { return s[510] == 0x55 && s[511] == 0xAA; }

// A cluster size that is not a power of two up to 128 sectors makes every
// cluster address meaningless (and zero would divide by zero downstream), so
// such a boot sector is treated like a missing one and the geometry is rebuilt.
bool plausibleClusterSize(std::uint32_t spc) { return spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0; }

/// 512-byte sectors per volume sector; 1 when the field is no sector size.
std::uint32_t unitsOf(util::Bytes b) {
    const std::uint32_t bytes = util::le16(b, kBytesPerSector);
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 ? bytes / disk::kSectorSize : 1;
}

/// The fields as stored (in volume sectors) and units to turn them into
/// 512-byte sectors.
struct FatFields {
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t reserved = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t rootEntries = 0;
    std::uint32_t rootCluster = 0;
    std::uint32_t units = 1;
    std::uint64_t fatSectors() const { return std::uint64_t{sectorsPerFat} * units; }
    std::uint64_t reservedSectors() const { return std::uint64_t{reserved} * units; }
};

FatFields fat16Fields(const Sector& s) {
    util::Bytes b(s);
    return {util::le16(b, kSectorsPerFat16), util::le16(b, kReservedSectors), util::le8(b, kSectorsPerCluster),
            util::le16(b, kRootEntries), 0, unitsOf(b)};
}

FatFields fat32Fields(const Sector& s) {
    util::Bytes b(s);
    return {util::le32(b, kSectorsPerFat32), util::le16(b, kReservedSectors), util::le8(b, kSectorsPerCluster), 0,
            util::le32(b, kRootCluster32), unitsOf(b)};
}

// The FAT size in 512-byte sectors must still fit the 32-bit field.
bool fieldsUsable(const FatFields& f) {
    return f.sectorsPerFat != 0 && plausibleClusterSize(f.sectorsPerCluster) && f.fatSectors() <= UINT32_MAX;
}

bool secondFatHasMediaByte(const VolumeRange& range, const FatFields& f) {
    Sector s{};
    range.read(range.SectorRangeStart + f.reservedSectors() + f.fatSectors(), 1, s.data());
    return s[0] == kMediaFixedDisk;
}

void storeCommon(const VolumeRange& range, const FatFields& f, VolumeParameters& params) {
    params.sectorsPerFat = static_cast<std::uint32_t>(f.fatSectors());
    params.sectorsPerCluster = f.sectorsPerCluster * f.units;
    params.reservedSectors = f.reserved * f.units;
    params.firstFatStart = range.SectorRangeStart + f.reservedSectors();
    params.secondFatStart = params.firstFatStart + f.fatSectors();
}

}  // namespace

int validateFat16Volume(const VolumeRange& range, VolumeParameters& params) {
    Sector boot{};
    range.read(range.SectorRangeStart, 1, boot.data());
    if (!hasBootSignature(boot)) return 0;
    const FatFields f = fat16Fields(boot);
    if (!fieldsUsable(f)) return 0;
    if (!secondFatHasMediaByte(range, f)) return 0;

    storeCommon(range, f, params);
    // Sixteen entries to a 512-byte sector; with larger sectors the root
    // directory fills whole volume sectors.
    params.rootSectors = f.rootEntries >> 4;
    if (f.units > 1) {
        const std::uint32_t sectorBytes = f.units * disk::kSectorSize;
        params.rootSectors = (f.rootEntries * 32 + sectorBytes - 1) / sectorBytes * f.units;
    }
    params.rootStart = range.SectorRangeStart + f.reservedSectors() + 2 * f.fatSectors();
    params.cluster0Start = params.rootStart + params.rootSectors - 2 * params.sectorsPerCluster;
    return 1;
}

int validateFat32Volume(const VolumeRange& range, VolumeParameters& params) {
    Sector boot{};
    range.read(range.SectorRangeStart, 1, boot.data());
    // The backup copy is six volume sectors in: the disk's sectors when the
    // primary is unreadable, the primary's own otherwise.
    const std::uint64_t backup = range.SectorRangeStart + kFat32BackupOffset * range.diskUnits();
    if (!hasBootSignature(boot)) {
        range.read(backup, 1, boot.data());
        if (!hasBootSignature(boot)) return 0;
    }
    FatFields f = fat32Fields(boot);
    if (!fieldsUsable(f) || !secondFatHasMediaByte(range, f)) {
        // The primary may be damaged in its fields only: try the backup copy.
        range.read(hasBootSignature(boot) ? range.SectorRangeStart + kFat32BackupOffset * f.units : backup, 1,
                   boot.data());
        if (!hasBootSignature(boot)) return 0;
        f = fat32Fields(boot);
        if (!fieldsUsable(f) || !secondFatHasMediaByte(range, f)) return 0;
    }

    storeCommon(range, f, params);
    params.rootSectors = 0;
    params.rootStart = f.rootCluster;
    params.cluster0Start =
        range.SectorRangeStart + f.reservedSectors() + 2 * f.fatSectors() - 2 * params.sectorsPerCluster;
    return 1;
}

}  // namespace qvx::partition

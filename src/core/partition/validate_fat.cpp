// FAT16 and FAT32 boot-sector validation.
//
// Boot-sector fields used (little-endian, offsets in the 512-byte sector):
//   13 u8  sectors per cluster        14 u16 reserved sectors
//   17 u16 root entries (FAT16)       22 u16 sectors per FAT (FAT16)
//   36 u32 sectors per FAT (FAT32)    44 u32 root directory cluster (FAT32)
//   510/511  0x55 0xAA
// The second FAT must begin with the media byte 0xF8 of a fixed disk; that
// test confirms the reserved-sector and FAT-size fields point where a FAT is.

#include <array>
#include <cstdint>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

using Sector = std::array<std::uint8_t, disk::kSectorSize>;

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

struct FatFields {
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t reserved = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t rootEntries = 0;
    std::uint32_t rootCluster = 0;
};

FatFields fat16Fields(const Sector& s) {
    util::Bytes b(s);
    return {util::le16(b, kSectorsPerFat16), util::le16(b, kReservedSectors), util::le8(b, kSectorsPerCluster),
            util::le16(b, kRootEntries), 0};
}

FatFields fat32Fields(const Sector& s) {
    util::Bytes b(s);
    return {util::le32(b, kSectorsPerFat32), util::le16(b, kReservedSectors), util::le8(b, kSectorsPerCluster), 0,
            util::le32(b, kRootCluster32)};
}

bool fieldsUsable(const FatFields& f) { return f.sectorsPerFat != 0 && plausibleClusterSize(f.sectorsPerCluster); }

bool secondFatHasMediaByte(const VolumeRange& range, const FatFields& f) {
    Sector s{};
    range.read(range.SectorRangeStart + f.reserved + f.sectorsPerFat, 1, s.data());
    return s[0] == kMediaFixedDisk;
}

void storeCommon(const VolumeRange& range, const FatFields& f, VolumeParameters& params) {
    const auto start = static_cast<std::uint32_t>(range.SectorRangeStart);
    params.sectorsPerFat = f.sectorsPerFat;
    params.sectorsPerCluster = f.sectorsPerCluster;
    params.reservedSectors = f.reserved;
    params.firstFatStart = start + f.reserved;
    params.secondFatStart = params.firstFatStart + f.sectorsPerFat;
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
    const auto start = static_cast<std::uint32_t>(range.SectorRangeStart);
    params.rootSectors = f.rootEntries >> 4;
    params.rootStart = start + f.reserved + 2 * f.sectorsPerFat;
    params.cluster0Start = params.rootStart + params.rootSectors - 2 * f.sectorsPerCluster;
    return 1;
}

int validateFat32Volume(const VolumeRange& range, VolumeParameters& params) {
    Sector boot{};
    range.read(range.SectorRangeStart, 1, boot.data());
    if (!hasBootSignature(boot)) {
        range.read(range.SectorRangeStart + kFat32BackupOffset, 1, boot.data());
        if (!hasBootSignature(boot)) return 0;
    }
    FatFields f = fat32Fields(boot);
    if (!fieldsUsable(f) || !secondFatHasMediaByte(range, f)) {
        // The primary may be damaged in its fields only: try the backup copy.
        range.read(range.SectorRangeStart + kFat32BackupOffset, 1, boot.data());
        if (!hasBootSignature(boot)) return 0;
        f = fat32Fields(boot);
        if (!fieldsUsable(f) || !secondFatHasMediaByte(range, f)) return 0;
    }

    storeCommon(range, f, params);
    const auto start = static_cast<std::uint32_t>(range.SectorRangeStart);
    params.rootSectors = 0;
    params.rootStart = f.rootCluster;
    params.cluster0Start = start + f.reserved + 2 * f.sectorsPerFat - 2 * f.sectorsPerCluster;
    return 1;
}

}  // namespace qvx::partition

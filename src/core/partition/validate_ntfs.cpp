// NTFS boot-sector validation: the primary copy at the volume's first sector
// and the backup copy at its last sector; either may supply each value.
// Fields count in the volume's own sectors (bytes per sector at 0x0B, 512 or
// up to 4096 on a 4Kn volume); the parameters are kept in 512-byte sectors.

#include <array>
#include <cstdint>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

// NTFS boot sector fields (offsets in the 512-byte sector).
constexpr std::size_t kBytesPerSector = 0x0B;           // u16
constexpr std::size_t kSectorsPerCluster = 0x0D;        // u8
constexpr std::size_t kMftCluster = 0x30;               // u64, low 32 bits used
constexpr std::size_t kMftMirrorCluster = 0x38;         // u64, low 32 bits used
constexpr std::size_t kClustersPerMftRecord = 0x40;     // u32; 0xF6 means 1024 bytes
constexpr std::size_t kClustersPerIndexRecord = 0x44;   // u32; 0xF4 means 4096 bytes

using Sector = std::array<std::uint8_t, disk::kSectorSize>;

class BootCopies {
public:
    explicit BootCopies(const VolumeRange& range) : m_range(range) { read(); }

    void switchCopy() {
        m_primary = !m_primary;
        read();
    }
    util::Bytes bytes() const { return m_sector; }
    bool hasSignature() const { return m_sector[510] == 0x55 && m_sector[511] == 0xAA; }

private:
    // The backup is the volume's last logical sector: on a 4Kn disk it
    // begins seven 512-byte sectors before the range's last one.
    void read() {
        const std::uint64_t units = m_range.diskUnits();
        const std::uint64_t backup = m_range.SectorRangeEnd >= m_range.SectorRangeStart + units
                                         ? m_range.SectorRangeEnd + 1 - units
                                         : m_range.SectorRangeEnd;
        m_range.read(m_primary ? m_range.SectorRangeStart : backup, 1, m_sector.data());
    }

    const VolumeRange& m_range;
    bool m_primary = true;
    Sector m_sector{};
};

bool validClusterSize(std::uint32_t sectorsPerCluster) {
    switch (sectorsPerCluster) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128: return true;
    default: return false;
    }
}

/// 512-byte sectors per sector of the volume; 1 when the field is no sector
/// size (old tools left it unchecked).
std::uint32_t unitsOf(util::Bytes boot) {
    const std::uint32_t bytes = util::le16(boot, kBytesPerSector);
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 ? bytes / disk::kSectorSize : 1;
}

/// Sectors per cluster in 512-byte sectors, or 0 when the field is no
/// power of two up to 128.
std::uint32_t clusterSectorsOf(util::Bytes boot) {
    const std::uint32_t field = util::le8(boot, kSectorsPerCluster);
    return validClusterSize(field) ? field * unitsOf(boot) : 0;
}

/// A record size field: clusters when positive, else 2^-value bytes
/// (0xF6 = 1024, 0xF4 = 4096); in 512-byte sectors.
std::uint32_t recordSectorsOf(std::uint32_t value, std::uint32_t sectorsPerCluster) {
    if (value >= 0xF4 && value <= 0xF6) return (1u << (0x100 - value)) / disk::kSectorSize;
    return value * sectorsPerCluster;
}

std::uint32_t sectorsPerMftRecordOf(util::Bytes boot, std::uint32_t sectorsPerCluster) {
    return recordSectorsOf(util::le32(boot, kClustersPerMftRecord), sectorsPerCluster);
}

bool validMftRecordSize(std::uint32_t sectors) { return sectors == 2 || sectors == 4 || sectors == 6 || sectors == 8; }

bool beginsWithFile(const VolumeRange& range, std::uint64_t lba) {
    Sector sector{};
    range.read(lba, 1, sector.data());
    return util::bytesEqual(sector, 0, "FILE");
}

/// LBA of the first record of the MFT or its mirror named at fieldOffset,
/// trying the other copy once; 0 when neither points at a FILE record.
std::uint64_t locateRecordArea(const VolumeRange& range, BootCopies& boot, std::size_t fieldOffset,
                               std::uint32_t sectorsPerCluster) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) boot.switchCopy();
        const std::uint64_t lba =
            range.SectorRangeStart + std::uint64_t{util::le32(boot.bytes(), fieldOffset)} * sectorsPerCluster;
        if (beginsWithFile(range, lba)) return lba;
    }
    return 0;
}

}  // namespace

int validateNtfsVolume(const VolumeRange& range, VolumeParameters& params) {
    BootCopies boot(range);
    if (!boot.hasSignature()) {
        boot.switchCopy();
        if (!boot.hasSignature()) return 0;
    }

    std::uint32_t sectorsPerCluster = clusterSectorsOf(boot.bytes());
    if (sectorsPerCluster == 0) {
        boot.switchCopy();
        sectorsPerCluster = clusterSectorsOf(boot.bytes());
        if (sectorsPerCluster == 0) return 0;
    }

    std::uint32_t sectorsPerMftRecord = sectorsPerMftRecordOf(boot.bytes(), sectorsPerCluster);
    if (!validMftRecordSize(sectorsPerMftRecord)) {
        boot.switchCopy();
        sectorsPerCluster = clusterSectorsOf(boot.bytes());
        if (sectorsPerCluster == 0) return 0;
        sectorsPerMftRecord = sectorsPerMftRecordOf(boot.bytes(), sectorsPerCluster);
        if (!validMftRecordSize(sectorsPerMftRecord)) return 0;
    }

    const std::uint64_t mftStart = locateRecordArea(range, boot, kMftCluster, sectorsPerCluster);
    const std::uint64_t mftMirrorStart = locateRecordArea(range, boot, kMftMirrorCluster, sectorsPerCluster);
    if (mftStart == 0 && mftMirrorStart == 0) return 0;

    const std::uint32_t indexValue = util::le32(boot.bytes(), kClustersPerIndexRecord);
    params.sectorsPerCluster = sectorsPerCluster;
    params.cluster0Start = range.SectorRangeStart;
    params.mftStart = mftStart;
    params.mftMirrorStart = mftMirrorStart;
    params.sectorsPerMftRecord = sectorsPerMftRecord;
    params.sectorsPerIndexRecord = recordSectorsOf(indexValue, sectorsPerCluster);
    return 1;
}

}  // namespace qvx::partition

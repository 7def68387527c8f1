// NTFS boot-sector validation: the primary copy at the volume's first sector
// and the backup copy at its last sector; either may supply each value.

#include <array>
#include <cstdint>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

// NTFS boot sector fields (offsets in the 512-byte sector).
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
    void read() { m_range.read(m_primary ? m_range.SectorRangeStart : m_range.SectorRangeEnd, 1, m_sector.data()); }

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

std::uint32_t sectorsPerMftRecordOf(util::Bytes boot, std::uint32_t sectorsPerCluster) {
    const std::uint32_t value = util::le32(boot, kClustersPerMftRecord);
    return value == 0xF6 ? 2 : value * sectorsPerCluster;
}

bool validMftRecordSize(std::uint32_t sectors) { return sectors == 2 || sectors == 4 || sectors == 6 || sectors == 8; }

bool beginsWithFile(const VolumeRange& range, std::uint64_t lba) {
    Sector sector{};
    range.read(lba, 1, sector.data());
    return util::bytesEqual(sector, 0, "FILE");
}

/// LBA of the first record of the MFT or its mirror named at fieldOffset,
/// trying the other copy once; 0 when neither points at a FILE record.
std::uint32_t locateRecordArea(const VolumeRange& range, BootCopies& boot, std::size_t fieldOffset,
                               std::uint32_t sectorsPerCluster) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) boot.switchCopy();
        const std::uint64_t lba =
            range.SectorRangeStart + std::uint64_t{util::le32(boot.bytes(), fieldOffset)} * sectorsPerCluster;
        if (lba <= 0xFFFFFFFFu && beginsWithFile(range, lba)) return static_cast<std::uint32_t>(lba);
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

    std::uint32_t sectorsPerCluster = util::le8(boot.bytes(), kSectorsPerCluster);
    if (!validClusterSize(sectorsPerCluster)) {
        boot.switchCopy();
        sectorsPerCluster = util::le8(boot.bytes(), kSectorsPerCluster);
        if (!validClusterSize(sectorsPerCluster)) return 0;
    }

    std::uint32_t sectorsPerMftRecord = sectorsPerMftRecordOf(boot.bytes(), sectorsPerCluster);
    if (!validMftRecordSize(sectorsPerMftRecord)) {
        boot.switchCopy();
        sectorsPerCluster = util::le8(boot.bytes(), kSectorsPerCluster);
        if (!validClusterSize(sectorsPerCluster)) return 0;
        sectorsPerMftRecord = sectorsPerMftRecordOf(boot.bytes(), sectorsPerCluster);
        if (!validMftRecordSize(sectorsPerMftRecord)) return 0;
    }

    const std::uint32_t mftStart = locateRecordArea(range, boot, kMftCluster, sectorsPerCluster);
    const std::uint32_t mftMirrorStart = locateRecordArea(range, boot, kMftMirrorCluster, sectorsPerCluster);
    if (mftStart == 0 && mftMirrorStart == 0) return 0;

    const std::uint32_t indexValue = util::le32(boot.bytes(), kClustersPerIndexRecord);
    params.sectorsPerCluster = sectorsPerCluster;
    params.cluster0Start = static_cast<std::uint32_t>(range.SectorRangeStart);
    params.mftStart = mftStart;
    params.mftMirrorStart = mftMirrorStart;
    params.sectorsPerMftRecord = sectorsPerMftRecord;
    params.sectorsPerIndexRecord = indexValue == 0xF4 ? 8 : indexValue * sectorsPerCluster;
    return 1;
}

}  // namespace qvx::partition

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "disk/sector_reader.h"
#include "partition/validate_volume.h"

namespace qvx::partition {
namespace {

constexpr std::uint64_t kVolumeStart = 100;
constexpr std::uint64_t kVolumeSectors = 4000;

/// An NTFS volume at sector 100 of a memory disk with FILE records where
/// the boot sector says the MFT (cluster 4) and its mirror (cluster 200) are.
class NtfsDisk {
public:
    NtfsDisk() : m_image((kVolumeStart + kVolumeSectors + 10) * 512, 0) {
        writeBoot(kVolumeStart, 8, 0xF6);
        writeBoot(kVolumeStart + kVolumeSectors - 1, 8, 0xF6);
        std::memcpy(sector(kVolumeStart + 4 * 8), "FILE", 4);
        std::memcpy(sector(kVolumeStart + 200 * 8), "FILE", 4);
    }
    std::uint8_t* sector(std::uint64_t lba) { return m_image.data() + lba * 512; }
    void writeBoot(std::uint64_t lba, std::uint8_t spc, std::uint32_t clustersPerRecord) {
        std::uint8_t* b = sector(lba);
        std::memcpy(b + 3, "NTFS    ", 8);
        b[13] = spc;
        b[48] = 4;
        b[56] = 200;
        std::memcpy(b + 64, &clustersPerRecord, 4);
        b[68] = 0xF4;
        b[510] = 0x55;
        b[511] = 0xAA;
    }
    int validate(VolumeParameters& params) {
        m_reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(m_image));
        VolumeRange range;
        range.reader = &m_reader;
        range.SectorRangeStart = kVolumeStart;
        range.SectorRangeEnd = kVolumeStart + kVolumeSectors - 1;
        return validateNtfsVolume(range, params);
    }

private:
    std::vector<std::uint8_t> m_image;
    disk::SectorReader m_reader;
};

TEST(ValidateNtfsVolume, FillsTheParametersFromThePrimary) {
    NtfsDisk disk;
    VolumeParameters params;
    ASSERT_EQ(disk.validate(params), 1);
    EXPECT_EQ(params.sectorsPerCluster, 8u);
    EXPECT_EQ(params.sectorsPerMftRecord, 2u);
    EXPECT_EQ(params.sectorsPerIndexRecord, 8u);
    EXPECT_EQ(params.cluster0Start, kVolumeStart);
    EXPECT_EQ(params.mftStart, kVolumeStart + 32);
    EXPECT_EQ(params.mftMirrorStart, kVolumeStart + 1600);
}

TEST(ValidateNtfsVolume, RecordSizeInClusters) {
    NtfsDisk one;
    one.writeBoot(kVolumeStart, 8, 1);
    VolumeParameters params;
    ASSERT_EQ(one.validate(params), 1);
    EXPECT_EQ(params.sectorsPerMftRecord, 8u);

    // 16 sectors per record on both copies is refused.
    NtfsDisk two;
    two.writeBoot(kVolumeStart, 8, 2);
    two.writeBoot(kVolumeStart + kVolumeSectors - 1, 8, 2);
    EXPECT_EQ(two.validate(params), 0);
    // ... but a valid backup copy stands in.
    NtfsDisk backup;
    backup.writeBoot(kVolumeStart, 8, 2);
    EXPECT_EQ(backup.validate(params), 1);
    EXPECT_EQ(params.sectorsPerMftRecord, 2u);
}

TEST(ValidateNtfsVolume, BackupAtTheLastSectorWhenThePrimaryIsGone) {
    NtfsDisk disk;
    std::memset(disk.sector(kVolumeStart), 0, 512);
    VolumeParameters params;
    ASSERT_EQ(disk.validate(params), 1);
    EXPECT_EQ(params.mftStart, kVolumeStart + 32);

    std::memset(disk.sector(kVolumeStart + kVolumeSectors - 1), 0, 512);
    EXPECT_EQ(disk.validate(params), 0);
}

TEST(ValidateNtfsVolume, NoFileRecordsAnywhereFails) {
    NtfsDisk disk;
    std::memset(disk.sector(kVolumeStart + 32), 0, 4);
    VolumeParameters params;
    ASSERT_EQ(disk.validate(params), 1);  // the mirror alone is enough
    EXPECT_EQ(params.mftStart, 0u);
    std::memset(disk.sector(kVolumeStart + 1600), 0, 4);
    EXPECT_EQ(disk.validate(params), 0);
}

TEST(ValidateNtfsVolume, BadClusterSizeOnBothCopiesFails) {
    NtfsDisk disk;
    disk.writeBoot(kVolumeStart, 3, 0xF6);
    disk.writeBoot(kVolumeStart + kVolumeSectors - 1, 0, 0xF6);
    VolumeParameters params;
    EXPECT_EQ(disk.validate(params), 0);
}

}  // namespace
}  // namespace qvx::partition

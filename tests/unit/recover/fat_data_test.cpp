// Locating FAT file contents: live chains (whole, fragmented, cut short)
// and deleted files read contiguously with their trust status.

#include <gtest/gtest.h>

#include <memory>

#include "disk/sector_reader.h"
#include "recover/fat_data.h"

namespace {

using namespace qvx;

/// FAT16 in memory: FAT at sector 1 (1 sector), clusters of 2 sectors,
/// cluster 2 at sector 4; 64 sectors in all.
struct FatDisk {
    std::shared_ptr<disk::MemoryDevice> device = std::make_shared<disk::MemoryDevice>(std::vector<std::uint8_t>(64 * 512));
    disk::SectorReader reader;
    fat::FatVolume volume;
    FatDisk() {
        reader.attachDevice(0, device);
        volume.kind = "FAT16";
        volume.params.firstFatStart = 1;
        volume.params.sectorsPerFat = 1;
        volume.params.sectorsPerCluster = 2;
        volume.params.cluster0Start = 0;
        volume.range.reader = &reader;
        volume.range.SectorRangeStart = 0;
        volume.range.SectorRangeEnd = 63;
        volume.endSector = 64;
        set(0, 0xFFF8);
        set(1, 0xFFFF);
    }
    void set(std::uint32_t cluster, std::uint16_t value) {
        device->data()[512 + cluster * 2] = static_cast<std::uint8_t>(value);
        device->data()[512 + cluster * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
    }
};

TEST(FatData, LiveFragmentedChainUpToSize) {
    FatDisk d;
    d.set(2, 3);
    d.set(3, 7);
    d.set(7, 0xFFFF);
    const auto f = recover::locateFatFile(d.volume, 2, 3 * 1024 - 10, false);
    EXPECT_TRUE(f.ok);
    EXPECT_STREQ(f.status.c_str(), recover::kFatComplete);
    ASSERT_EQ(f.layout.extents.size(), 2u);
    EXPECT_EQ(f.layout.extents[0].lba, 4u);
    EXPECT_EQ(f.layout.extents[0].sectors, 4u);
    EXPECT_EQ(f.layout.extents[1].lba, 14u);
}

TEST(FatData, LiveChainEndingEarlyIsIncomplete) {
    FatDisk d;
    d.set(2, 3);
    d.set(3, 0xFFFF);
    const auto f = recover::locateFatFile(d.volume, 2, 5 * 1024, false);
    EXPECT_STREQ(f.status.c_str(), recover::kFatIncomplete);
    EXPECT_EQ(f.layout.extentBytes(), 2u * 1024);
}

TEST(FatData, DeletedFilesAreContiguousWithTrustStatus) {
    FatDisk d;
    auto f = recover::locateFatFile(d.volume, 10, 3 * 1024, true);
    EXPECT_STREQ(f.status.c_str(), recover::kFatUnverified);
    ASSERT_EQ(f.layout.extents.size(), 1u);
    EXPECT_EQ(f.layout.extents[0].lba, 20u);
    EXPECT_EQ(f.layout.extents[0].sectors, 6u);

    EXPECT_STREQ(recover::locateFatFile(d.volume, 10, 1000, true).status.c_str(), recover::kFatComplete);

    d.set(11, 0xFFFF);  // the second cluster now belongs to someone else: stepped over
    f = recover::locateFatFile(d.volume, 10, 3 * 1024, true);
    EXPECT_STREQ(f.status.c_str(), recover::kFatOverwritten);
    ASSERT_EQ(f.layout.extents.size(), 2u);
    EXPECT_EQ(f.layout.extents[0].lba, 20u);
    EXPECT_EQ(f.layout.extents[0].sectors, 2u);
    EXPECT_EQ(f.layout.extents[1].lba, 24u);
    EXPECT_EQ(f.layout.extents[1].sectors, 4u);

    d.set(10, 0xFFFF);  // the first cluster is gone
    f = recover::locateFatFile(d.volume, 10, 3 * 1024, true);
    EXPECT_STREQ(f.status.c_str(), recover::kFatOverwritten);
    EXPECT_EQ(f.layout.extents[0].lba, 20u);
}

TEST(FatData, InUseEntryWithFreeFirstClusterIsReadAsDeleted) {
    FatDisk d;
    const auto f = recover::locateFatFile(d.volume, 12, 2 * 1024, false);
    EXPECT_STREQ(f.status.c_str(), recover::kFatUnverified);
    EXPECT_EQ(f.layout.extentBytes(), 2u * 1024);
}

TEST(FatData, BadFirstClusterOrRunPastTheEnd) {
    FatDisk d;
    EXPECT_FALSE(recover::locateFatFile(d.volume, 0, 100, true).ok);
    EXPECT_FALSE(recover::locateFatFile(d.volume, 5000, 100, false).ok);
    const auto f = recover::locateFatFile(d.volume, 30, 10 * 1024, true);
    EXPECT_STREQ(f.status.c_str(), recover::kFatIncomplete);
    EXPECT_TRUE(recover::locateFatFile(d.volume, 0, 0, false).ok);  // empty file
}

}  // namespace

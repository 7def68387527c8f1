#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "partition/validate_volume.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::partition {
namespace {

using fat::test::putDotEntries;
using fat::test::TestDisk;

struct Recorder : util::ProgressSink {
    std::vector<std::string> status;
    int lastPercent = -1;
    void setStatusText(const std::string& t) override { status.push_back(t); }
    void setProgress(int percent, const std::string&) override { lastPercent = percent; }
};

TEST(CalculateFatParameters, ConsistentPairGivesClusterSizeAndOrigin) {
    TestDisk d(12000);
    // First FAT right after 4 reserved sectors.
    d.sector(4)[0] = 0xF8;
    d.sector(4)[1] = 0xFF;
    putDotEntries(d.sector(10000), 5, 0);
    putDotEntries(d.sector(10032), 9, 5);
    VolumeParameters p;
    Recorder rec;
    ASSERT_EQ(CalculateFatParameters("FAT16", d.range(0, 11999), p, rec, {}), 1);
    EXPECT_EQ(p.sectorsPerCluster, 8u);
    EXPECT_EQ(p.cluster0Start, 9960u);
    EXPECT_EQ(p.reservedSectors, 4u);
    EXPECT_EQ(p.rootSectors, 32u);
    // Data area at 9976: 4 reserved + 32 root sectors leave 9940 for two FATs.
    EXPECT_EQ(p.sectorsPerFat, 4970u);
    EXPECT_EQ(p.firstFatStart, 4u);
    EXPECT_EQ(p.secondFatStart, 4974u);
    EXPECT_EQ(p.rootStart, 9944u);
    EXPECT_EQ(rec.status.front(), "Calculating Partition Params...");
}

TEST(CalculateFatParameters, Fat32DefaultsAndInconsistentPairsAreSkipped) {
    TestDisk d(12000);
    putDotEntries(d.sector(10000), 5, 0);
    putDotEntries(d.sector(10010), 6, 5);  // 10 sectors per cluster: not a cluster size
    putDotEntries(d.sector(10032), 9, 5);
    VolumeParameters p;
    util::NullProgress quiet;
    ASSERT_EQ(CalculateFatParameters("FAT32", d.range(0, 11999), p, quiet, {}), 1);
    EXPECT_EQ(p.reservedSectors, 32u) << "no FAT signature in the window";
    EXPECT_EQ(p.rootStart, 2u);
    EXPECT_EQ(p.rootSectors, 0u);
    EXPECT_EQ(p.sectorsPerCluster, 8u);
    EXPECT_EQ(p.cluster0Start, 9960u);
    EXPECT_EQ(p.sectorsPerFat, (9976u - 32) / 2);
}

TEST(CalculateFatParameters, NothingFoundOrNtfsGivesZero) {
    TestDisk d(3000);
    VolumeParameters p;
    util::NullProgress quiet;
    EXPECT_EQ(CalculateFatParameters("FAT16", d.range(0, 2999), p, quiet, {}), 0);
    EXPECT_EQ(CalculateFatParameters("NTFS", d.range(0, 2999), p, quiet, {}), 0);
    // A single directory is no pair; an anchor naming cluster 0 or 1 is not accepted.
    putDotEntries(d.sector(500), 1, 0);
    putDotEntries(d.sector(600), 7, 0);
    EXPECT_EQ(CalculateFatParameters("FAT32", d.range(0, 2999), p, quiet, {}), 0);
    // The range end beyond the image reads zeros and ends.
    EXPECT_EQ(CalculateFatParameters("FAT32", d.range(2000, 90000), p, quiet, {}), 0);
}

TEST(CalculateFatParameters, StopsWhenAsked) {
    TestDisk d(3000);
    putDotEntries(d.sector(1000), 5, 0);
    putDotEntries(d.sector(1032), 9, 5);
    std::stop_source source;
    source.request_stop();
    VolumeParameters p;
    util::NullProgress quiet;
    EXPECT_EQ(CalculateFatParameters("FAT16", d.range(0, 2999), p, quiet, source.get_token()), 0);
}

}  // namespace
}  // namespace qvx::partition

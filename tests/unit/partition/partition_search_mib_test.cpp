// The second pass of the lost partition search: the first sector of every
// MiB, after the cylinder probes.
#include <gtest/gtest.h>

#include <algorithm>

#include "partition/partition_search.h"
#include "support/memory_disk.h"

namespace qvx::partition {
namespace {

using test::MemoryDisk;

class RecordingProgress : public util::ProgressSink {
public:
    void setProgress(int percent, const std::string&) override { percents.push_back(percent); }
    std::vector<int> percents;
};

SearchGeometry geometryFor(const MemoryDisk& disk) {
    return {std::to_string(disk.sectors() / 16065), "255", "63", disk.sectors()};
}

TEST(PartitionSearchMib, FindsAlignedVolumesAfterTheCylinderProbes) {
    MemoryDisk disk(16065 * 8);  // 8 cylinders, 63 MiB boundaries
    disk.ntfsBoot(2048, 20479);
    disk.fat32Boot(16065 * 3 + 63, 16065);  // a cylinder volume, later on disk
    disk.fat16Boot(40 * 2048, 4096);
    disk.fat16Boot(41 * 2048 + 1, 4096);  // off the boundary: never probed
    DiskPartitionList list;
    RecordingProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 3);
    ASSERT_EQ(list.count(), 3);
    // The cylinder pass comes first, whatever the disk order.
    EXPECT_EQ(list.entries[0].fileSystemName, "FAT32");
    EXPECT_EQ(list.entries[0].firstSector, 16065u * 3 + 63);
    EXPECT_EQ(list.entries[1].fileSystemName, "NTFS");
    EXPECT_EQ(list.entries[1].firstSector, 2048u);
    EXPECT_EQ(list.entries[1].endSector, 2048u + 20479);
    EXPECT_EQ(list.entries[2].fileSystemName, "FAT16");
    EXPECT_EQ(list.entries[2].firstSector, 40u * 2048);
    for (const auto& e : list.entries) {
        EXPECT_EQ(e.table, TableKind::Search);
        EXPECT_TRUE(e.foundBySearch);
    }
    // One report per cylinder, then one per new percentage over the MiB
    // probes, rising to 100: 8 + 63 steps in all.
    ASSERT_GE(progress.percents.size(), 8u + 2u);
    EXPECT_LE(progress.percents.size(), 8u + 63u + 1u);
    EXPECT_EQ(progress.percents[7], 7 * 100 / 71);  // the cylinders are only part of the work
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    EXPECT_TRUE(std::adjacent_find(progress.percents.begin() + 8, progress.percents.end()) == progress.percents.end());
    EXPECT_EQ(progress.percents.back(), 100);
}

TEST(PartitionSearchMib, VolumeAtACommonProbeIsListedOnce) {
    // LBA 0 is both cylinder 0's first sector and MiB 0: a volume without a
    // partition table.
    MemoryDisk disk(16065 * 2);
    disk.fat32Boot(0, 16065 * 2);
    DiskPartitionList list;
    list.entries.push_back({"NTFS", 2048, 4096, false, TableKind::Gpt});
    disk.ntfsBoot(2048, 2048);  // already listed from the table
    util::NullProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 1);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entries[1].firstSector, 0u);
    EXPECT_EQ(list.entries[0].table, TableKind::Gpt);
}

TEST(PartitionSearchMib, BoundEndsBothPasses) {
    MemoryDisk disk(16065 * 2);
    DiskPartitionList list;
    for (int i = 0; i < kMaxPartitions - 1; ++i) list.entries.push_back({"FAT16", 1u + i, 2u + i, false});
    disk.fat16Boot(2048, 100);
    disk.fat16Boot(4096, 100);
    util::NullProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(list.count(), kMaxPartitions);
    EXPECT_EQ(list.entries.back().firstSector, 2048u);
}

TEST(PartitionSearchMib, StopDuringTheSecondPassKeepsWhatWasFound) {
    MemoryDisk disk(16065 * 4);
    disk.fat32Boot(63, 5000);
    disk.ntfsBoot(2 * 2048, 1000);
    disk.ntfsBoot(20 * 2048, 1000);
    DiskPartitionList list;
    std::stop_source stop;
    class StopAt : public util::ProgressSink {
    public:
        explicit StopAt(std::stop_source& s) : m_stop(s) {}
        void setProgress(int percent, const std::string&) override {
            // 4 cylinders and 32 MiB: MiB 4 is step 8 of 36, 22 %.
            if (percent >= 8 * 100 / 36) m_stop.request_stop();
        }

    private:
        std::stop_source& m_stop;
        int m_calls = 0;
    } progress(stop);
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, stop.get_token(), progress);
    EXPECT_TRUE(r.stopped);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entries[0].firstSector, 63u);
    EXPECT_EQ(list.entries[1].firstSector, 2u * 2048);
}

}  // namespace
}  // namespace qvx::partition

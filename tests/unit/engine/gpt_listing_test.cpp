// GPT disks through the disk screen's flow: an intact table needs no search;
// a GPT disk whose headers are gone falls to the search, which finds its
// 1 MiB-aligned volumes.
#include <gtest/gtest.h>

#include "engine/partition_listing.h"
#include "support/gpt_disk.h"
#include "support/memory_disk.h"

namespace qvx::engine {
namespace {

using test::MemoryDisk;

disk::DiskDetails detailsOf(const MemoryDisk& disk) {
    disk::DiskInfo info;
    info.TotalSectors = disk.sectors();
    info.TotalCylinders = static_cast<std::uint32_t>(disk.sectors() / 16065);
    return disk::describeDisk(info);
}

MemoryDisk gptDisk() {
    MemoryDisk disk(16065 * 8);
    test::writeGpt(disk, {{2048, 22527}, {22528, 63487}});
    disk.ntfsBoot(2048, 20479);
    disk.fat32Boot(22528, 40960);
    return disk;
}

TEST(GptListing, IntactTableIsListedWithoutSearch) {
    MemoryDisk disk = gptDisk();
    ReadFailureTrigger trigger;
    util::NullProgress progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsOf(disk), false, trigger, {}, progress);
    EXPECT_FALSE(out.searched);
    ASSERT_EQ(out.list.count(), 2);
    EXPECT_EQ(out.list.entries[1].table, partition::TableKind::Gpt);
    EXPECT_EQ(trigger.PartitionSearchStarted(), 1);
}

TEST(GptListing, LostHeadersFallToTheSearch) {
    MemoryDisk disk = gptDisk();
    std::memset(disk.sector(0), 0, 512);
    std::memset(disk.sector(1), 0, 512);
    std::memset(disk.sector(disk.sectors() - 1), 0, 512);
    ReadFailureTrigger trigger;
    util::NullProgress progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsOf(disk), false, trigger, {}, progress);
    EXPECT_TRUE(out.searched);
    ASSERT_EQ(out.list.count(), 2);
    EXPECT_EQ(out.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(out.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(out.list.entries[0].endSector, 2048u + 20479);  // the size the boot sector records
    EXPECT_EQ(out.list.entries[1].fileSystemName, "FAT32");
    EXPECT_EQ(out.list.entries[1].endSector, 22528u + 40960);
    EXPECT_EQ(out.list.entries[1].table, partition::TableKind::Search);
}

}  // namespace
}  // namespace qvx::engine

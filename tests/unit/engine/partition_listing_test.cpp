#include "engine/partition_listing.h"

#include <gtest/gtest.h>

#include "support/memory_disk.h"

namespace qvx::engine {
namespace {

using test::MemoryDisk;

class HelpRecorder : public util::ProgressSink {
public:
    void setHelpText(const std::string& text) override { help.push_back(text); }
    std::vector<std::string> help;
};

disk::DiskDetails detailsFor(const MemoryDisk& disk) {
    disk::DiskInfo info;
    info.TotalSectors = disk.sectors();
    info.TotalCylinders = static_cast<std::uint32_t>(disk.sectors() / 16065);
    return disk::describeDisk(info);
}

TEST(PartitionListing, GoodTableDoesNotSearch) {
    MemoryDisk disk(16065 * 4);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x0B, 63, 16065);
    disk.fat32Boot(63, 16065);
    disk.ntfsBoot(16065 * 2 + 63, 100);  // only a search would find this one
    ReadFailureTrigger trigger;
    HelpRecorder progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsFor(disk), false, trigger, {}, progress);
    EXPECT_FALSE(out.searched);
    EXPECT_EQ(out.list.count(), 1);
    EXPECT_TRUE(progress.help.empty());
}

TEST(PartitionListing, TheDeepSearchFindsWhatNoProbeReaches) {
    MemoryDisk disk(16065 * 4);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x0B, 63, 16065);
    disk.fat32Boot(63, 16065);
    const std::uint64_t odd = 16065 * 2 + 1001;
    disk.fat16Boot(odd, 2000);
    disk.put16At(odd, 11, 512);
    disk.sector(odd)[13] = 4;   // sectors per cluster
    disk.put16At(odd, 14, 1);   // reserved sectors
    disk.sector(odd)[16] = 2;   // FATs
    disk.sector(odd)[21] = 0xF8;
    ReadFailureTrigger trigger;
    HelpRecorder progress;
    const auto probed = listPartitions(*disk.reader(), 0, detailsFor(disk), true, trigger, {}, progress);
    EXPECT_EQ(probed.list.count(), 1);
    trigger.reset();
    const auto deep = listPartitions(*disk.reader(), 0, detailsFor(disk), true, trigger, {}, progress,
                                     partition::SearchDepth::Deep);
    EXPECT_TRUE(deep.searched);
    ASSERT_EQ(deep.list.count(), 2);
    EXPECT_EQ(deep.list.entries[1].fileSystemName, "FAT16");
    EXPECT_EQ(deep.list.entries[1].firstSector, odd);
    EXPECT_EQ(deep.list.entries[1].table, partition::TableKind::Search);
}

TEST(PartitionListing, EmptyTableStartsTheSearchOnce) {
    MemoryDisk disk(16065 * 4);
    disk.ntfsBoot(16065 * 2 + 63, 100);
    ReadFailureTrigger trigger;
    HelpRecorder progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsFor(disk), false, trigger, {}, progress);
    EXPECT_TRUE(out.searched);
    ASSERT_EQ(out.list.count(), 1);
    EXPECT_EQ(out.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(out.list.entries[0].firstSector, 16065u * 2 + 63);
    ASSERT_FALSE(progress.help.empty());
    EXPECT_EQ(progress.help.front(), partition::kTableCorruptedHelp);
    EXPECT_EQ(trigger.PartitionSearchStarted(), 2);
    // The hook acts once until the wizard goes back to the disk screen.
    trigger.setDeviceSelection(true);
    EXPECT_FALSE(trigger.OnReadFailure(progress));
    trigger.reset();
    EXPECT_TRUE(trigger.OnReadFailure(progress));
}

TEST(PartitionListing, CorruptedTableKeepsListedPartitionsAndSearches) {
    MemoryDisk disk(16065 * 4);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x0B, 63, 16065);
    disk.fat32Boot(63, 16065);
    disk.slot(0, 1, 0x07, static_cast<std::uint32_t>(disk.sectors() - 100), 50);
    disk.ntfsBoot(16065 * 2, 1000);
    ReadFailureTrigger trigger;
    HelpRecorder progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsFor(disk), false, trigger, {}, progress);
    EXPECT_EQ(out.table.outcome, partition::TableReadOutcome::Corrupted);
    EXPECT_TRUE(out.searched);
    ASSERT_EQ(out.list.count(), 2);
    EXPECT_FALSE(out.list.entries[0].foundBySearch);  // the FAT32 from the table
    EXPECT_EQ(out.list.entries[1].fileSystemName, "NTFS");
    EXPECT_TRUE(out.list.entries[1].foundBySearch);
}

TEST(PartitionListing, ReadFailureDuringTheTableReadStartsTheSearch) {
    MemoryDisk disk(16065 * 4);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x0B, 63, 16065);
    disk.fat32Boot(63, 16065);
    disk.device()->badSectors = {63};
    ReadFailureTrigger trigger;
    HelpRecorder progress;
    const auto out = listPartitions(*disk.reader(), 0, detailsFor(disk), false, trigger, {}, progress);
    EXPECT_TRUE(out.searched);
    EXPECT_EQ(out.list.count(), 1);  // the slot's own type byte listed it; the search finds no duplicate
}

}  // namespace
}  // namespace qvx::engine

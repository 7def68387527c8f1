#include "partition/partition_table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/memory_disk.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::partition {
namespace {

using test::MemoryDisk;

constexpr std::uint64_t kDiskSectors = 200000;

struct Read {
    DiskPartitionList list;
    TableReadResult result;
    int corruptedCalls = 0;
    int readFailures = 0;
};

Read readTable(MemoryDisk& disk, std::uint64_t totalSectors = kDiskSectors) {
    Read r;
    auto reader = disk.reader();
    reader->setReadFailureHook([&] { ++r.readFailures; });
    r.result = ReadPartitionTable(*reader, 0, 0, totalSectors, r.list, [&] { ++r.corruptedCalls; });
    return r;
}

TEST(PartitionTable, OneNtfsSlot) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x07, 2048, 100000);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[0].endSector, 102048u);
    EXPECT_EQ(r.list.label(0), "Partition - 1 ( NTFS )");
    EXPECT_TRUE(r.result.partitionsListed);
    EXPECT_EQ(r.result.outcome, TableReadOutcome::Listed);
}

TEST(PartitionTable, MissingMarkerListsNothing) {
    MemoryDisk disk(kDiskSectors);
    disk.slot(0, 0, 0x07, 2048, 100000);
    disk.sector(0)[510] = 0x55;  // 0xAA missing
    const Read r = readTable(disk);
    EXPECT_EQ(r.list.count(), 0);
    EXPECT_EQ(r.result.outcome, TableReadOutcome::NoSignature);
    EXPECT_FALSE(r.result.partitionsListed);
}

TEST(PartitionTable, SignaturesCorrectTheTypeByte) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x83, 100, 1000);   // Linux type holding FAT32
    disk.fat32Boot(100, 1000);
    disk.slot(0, 1, 0x07, 2000, 1000);  // NTFS type holding FAT16
    disk.fat16Boot(2000, 1000);
    disk.slot(0, 2, 0x01, 4000, 1000);  // 0x01 without signature: not in the MBR
    disk.slot(0, 3, 0x27, 6000, 1000);  // unknown type, NTFS inside
    disk.ntfsBoot(6000, 1000);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 3);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "FAT32");
    EXPECT_EQ(r.list.entries[1].fileSystemName, "FAT16");
    EXPECT_EQ(r.list.entries[2].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.label(2), "Partition - 3 ( NTFS )");
}

TEST(PartitionTable, TypeNames) {
    EXPECT_EQ(nameForType(0x04, false), "FAT16");
    EXPECT_EQ(nameForType(0x0E, false), "FAT16");
    EXPECT_EQ(nameForType(0x0C, false), "FAT32");
    EXPECT_EQ(nameForType(0x01, false), "");
    EXPECT_EQ(nameForType(0x01, true), "FAT16");
    EXPECT_EQ(nameForType(0x05, true), "");
    EXPECT_EQ(nameForType(0x83, true), "");
}

TEST(PartitionTable, FourKnSlotsAndChainCountInTheDisksSectors) {
    MemoryDisk disk(60000);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x07, 256, 1000);
    disk.slot(0, 1, 0x05, 2000, 4000);
    disk.ntfsBoot(256 * 8, 999);
    disk.put16At(256 * 8, 11, 4096);
    // The record at 4096-byte sector 2000: a FAT32 drive at +64.
    disk.slot(2000 * 8, 0, 0x0B, 64, 500);
    disk.fat32Boot(2064 * 8, 500);
    disk.put16At(2064 * 8, 11, 4096);
    Read r = readTable(disk, disk.sectors());
    ASSERT_EQ(r.list.count(), 2);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[0].endSector, 2048u + 8000);
    EXPECT_EQ(r.list.entries[1].fileSystemName, "FAT32");
    EXPECT_EQ(r.list.entries[1].firstSector, 2064u * 8);
    EXPECT_EQ(r.list.entries[1].endSector, 2564u * 8);
}

TEST(PartitionTable, ExtendedChainArithmetic) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x06, 63, 900);
    disk.slot(0, 1, 0x05, 1000, 100000);
    // First record at 1000: a FAT32 logical drive at +63 and a link to +5000.
    disk.slot(1000, 0, 0x0B, 63, 2000);
    disk.slot(1000, 1, 0x05, 5000, 3000);
    // Second record at 1000 + 5000: a 0x01 drive at +63, listed inside a chain.
    disk.slot(6000, 0, 0x01, 63, 500);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 3);
    EXPECT_EQ(r.list.entries[1].fileSystemName, "FAT32");
    EXPECT_EQ(r.list.entries[1].firstSector, 1063u);
    EXPECT_EQ(r.list.entries[1].endSector, 3063u);
    EXPECT_EQ(r.list.entries[2].fileSystemName, "FAT16");
    EXPECT_EQ(r.list.entries[2].firstSector, 6063u);
}

TEST(PartitionTable, ChainThatLinksBackEnds) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x0F, 1000, 100000);
    disk.slot(1000, 0, 0x06, 63, 100);
    disk.slot(1000, 1, 0x05, 2000, 100);
    disk.slot(3000, 0, 0x06, 63, 100);
    disk.slot(3000, 1, 0x05, 0, 100);  // back to the first record
    const Read r = readTable(disk);
    EXPECT_EQ(r.list.count(), 2);
}

TEST(PartitionTable, AtMostTwentySixPartitions) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    for (int k = 0; k < 3; ++k) disk.slot(0, k, 0x06, 100 + 100 * k, 50);
    disk.slot(0, 3, 0x05, 1000, 100000);
    for (int i = 0; i < 40; ++i) {
        const std::uint64_t record = 1000 + 100 * i;
        disk.slot(record, 0, 0x06, 10, 50);
        disk.slot(record, 1, 0x05, 100 * (i + 1), 100);
    }
    const Read r = readTable(disk);
    EXPECT_EQ(r.list.count(), kMaxPartitions);
}

TEST(PartitionTable, ImplausibleSlotTakesTheCorruptedPath) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x07, 2048, 1000);
    disk.slot(0, 1, 0x07, kDiskSectors - 20000, 1000);
    disk.slot(0, 2, 0x07, 5000, 1000);
    const Read r = readTable(disk);
    EXPECT_EQ(r.result.outcome, TableReadOutcome::Corrupted);
    EXPECT_EQ(r.corruptedCalls, 1);
    ASSERT_EQ(r.list.count(), 1);  // what was listed before stays; the read ended
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
}

TEST(PartitionTable, LargeDisksPassThePlausibilityTest) {
    // A disk of 2^31 sectors and more: the signed 32-bit total would be
    // negative and fail every slot.
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x07, 2048, 4000000000u);
    const Read r = readTable(disk, 4294967296ull + 1000);
    EXPECT_EQ(r.corruptedCalls, 0);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].endSector, 4000002048u);
}

TEST(PartitionTable, SlotBeyondDiskEndIsCorruptedNotRead) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x07, 3000000000u, 1000);
    const Read r = readTable(disk);
    EXPECT_EQ(r.corruptedCalls, 1);
    EXPECT_EQ(r.readFailures, 0);
    EXPECT_EQ(r.list.count(), 0);
}

TEST(PartitionTable, UnreadableLogicalBootSectorLeavesTheTypeByteToDecide) {
    MemoryDisk disk(kDiskSectors);
    disk.bootMarker(0);
    disk.slot(0, 0, 0x05, 1000, 10000);
    disk.slot(1000, 0, 0x0B, 63, 100);
    disk.ntfsBoot(1063, 100);
    disk.device()->badSectors = {1063};
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "FAT32");
    EXPECT_EQ(r.readFailures, 1);
}

TEST(PartitionDetails, StandardAndAdvanceRows) {
    PartitionEntry e{"FAT32", 63, 63 + 4194304, false};
    DiskFacts facts{1000000, "488 MB"};
    const PartitionDetails s = ShowPartitionDetails("FAT32", 1, 0, e, false, facts);
    EXPECT_EQ(s.searchModeCaption, "Standard Search");
    EXPECT_EQ(s.fileSystemComboIndex, 1);
    ASSERT_EQ(s.rows.size(), 7u);
    EXPECT_EQ(s.rows[1].second, "2");
    EXPECT_EQ(s.rows[4].second, "63");
    EXPECT_EQ(s.rows[6], (std::pair<std::string, std::string>{"7.   Size                                 :  ", "2048 MB"}));

    const PartitionDetails a = ShowPartitionDetails("NTFS", 0, 0, {"NTFS", 2048, 4000002048u, false}, true, facts);
    EXPECT_EQ(a.searchModeCaption, "Advance Search");
    EXPECT_EQ(a.fileSystemComboIndex, 2);
    ASSERT_EQ(a.rows.size(), 3u);
    EXPECT_EQ(a.rows[1].second, "Advance");
    EXPECT_EQ(a.endSectorText, "4000002048");  // unsigned, not sign-extended

    const PartitionEntry unknown{"Unknown Partition", 0, 1000000, true};
    const PartitionDetails u = ShowPartitionDetails("Unknown Partition", 0, 2, unknown, false, facts);
    EXPECT_EQ(u.rows[2].second, "Unknown Partition");
    EXPECT_EQ(u.rows[4].second, "0");
    EXPECT_EQ(u.rows[5].second, "1000000");
    EXPECT_EQ(u.rows[6].second, "488 MB");
    EXPECT_TRUE(u.expandDiskNode);
    const PartitionDetails ua = ShowPartitionDetails("Unknown Partition", 0, 2, unknown, true, facts);
    EXPECT_EQ(ua.rows[2].second, "488 MB");
    EXPECT_EQ(ua.startSectorText, "0");
    EXPECT_EQ(ua.endSectorText, "1000000");
}

TEST(PartitionDetails, FourKnDiskShowsItsOwnSectors) {
    // The entry and the disk count 512-byte sectors; the rows the disk's
    // 4096-byte ones. The size stays what the bytes make.
    const PartitionEntry e{"NTFS", 256 * 8, (256 + 4096) * 8, false};
    const DiskFacts facts{102400 * 8, "400 MB", 8};
    const PartitionDetails s = ShowPartitionDetails("NTFS", 0, 0, e, false, facts);
    EXPECT_EQ(s.rows[4].second, "256");
    EXPECT_EQ(s.rows[5].second, "4352");
    EXPECT_EQ(s.rows[6].second, "16 MB");
    const PartitionDetails a = ShowPartitionDetails("NTFS", 0, 0, e, true, facts);
    EXPECT_EQ(a.startSectorText, "256");
    EXPECT_EQ(a.endSectorText, "4352");
    EXPECT_EQ(a.rows[2].second, "16 MB");
    const PartitionEntry unknown{"Unknown Partition", 0, 102400 * 8, true};
    EXPECT_EQ(ShowPartitionDetails("Unknown Partition", 0, 0, unknown, false, facts).rows[5].second, "102400");
    EXPECT_EQ(ShowPartitionDetails("Unknown Partition", 0, 0, unknown, true, facts).endSectorText, "102400");
}

}  // namespace
}  // namespace qvx::partition

namespace qvx::partition {
namespace {

// A disk whose sector 0 is a valid FAT16 boot sector (a volume image, a
// stick formatted without a table) is one volume over the whole disk.
TEST(PartitionTable, VolumeBootSectorAtSectorZeroIsTheWholeDisk) {
    fat::test::TestDisk d(4000);
    fat::test::Fat16Layout l;
    l.start = 0;
    l.sectorsPerFat = 16;
    l.spc = 4;
    fat::test::writeFat16Boot(d, l);
    std::memcpy(d.sector(0) + 54, "FAT16   ", 8);
    DiskPartitionList list;
    int corrupted = 0;
    const VolumeRange range = d.range(0, 3999);
    const TableReadResult r = ReadPartitionTable(*range.reader, 0, 0, 4000, list, [&] { ++corrupted; });
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.entries[0].fileSystemName, "FAT16");
    EXPECT_EQ(list.entries[0].firstSector, 0u);
    EXPECT_EQ(list.entries[0].endSector, 4000u);
    EXPECT_EQ(list.entries[0].table, TableKind::None);
    EXPECT_EQ(r.table, TableKind::None);
    EXPECT_STREQ(tableKindName(r.table), "none");
    EXPECT_TRUE(r.partitionsListed);
    EXPECT_EQ(corrupted, 0);
}

// The signature alone does not make a volume: its fields must validate,
// otherwise sector 0 is read as a partition table.
TEST(PartitionTable, SignatureWithoutAValidVolumeIsStillATable) {
    test::MemoryDisk disk(kDiskSectors);
    disk.fat16Boot(0, 1000);  // "FAT16" text and marker, no usable fields
    disk.slot(0, 0, 0x07, 2048, 100000);
    disk.ntfsBoot(2048, 100000);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.entries[0].table, TableKind::Mbr);
    EXPECT_EQ(r.result.table, TableKind::Mbr);
}

}  // namespace
}  // namespace qvx::partition

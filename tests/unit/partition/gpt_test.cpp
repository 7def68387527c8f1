#include "partition/gpt.h"

#include <gtest/gtest.h>

#include "partition/partition_table.h"
#include "support/gpt_disk.h"
#include "support/memory_disk.h"

namespace qvx::partition {
namespace {

using test::GptPart;
using test::MemoryDisk;

constexpr std::uint64_t kDisk = 120000;

struct Read {
    DiskPartitionList list;
    TableReadResult result;
    int corruptedCalls = 0;
    int readFailures = 0;
};

template <class Disk>
Read readTable(Disk& disk) {
    Read r;
    auto reader = disk.reader();
    reader->setReadFailureHook([&] { ++r.readFailures; });
    r.result = ReadPartitionTable(*reader, 0, 0, disk.sectors(), r.list, [&] { ++r.corruptedCalls; });
    return r;
}

/// NTFS, an unused slot, FAT32, a volume without a known boot sector, FAT16.
MemoryDisk threeVolumeDisk() {
    MemoryDisk disk(kDisk);
    test::writeGpt(disk, {{2048, 22527}, {0, 0, 0}, {22528, 63487}, {63488, 65535}, {65536, 100351}});
    disk.ntfsBoot(2048, 20479);  // the last sector holds the backup boot sector
    disk.fat32Boot(22528, 40960);
    disk.fat16Boot(65536, 34816);
    return disk;
}

void expectThreeVolumes(const Read& r) {
    ASSERT_EQ(r.list.count(), 3);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[0].endSector, 22528u);  // last LBA + 1, not the boot sector's size
    EXPECT_EQ(r.list.entries[1].fileSystemName, "FAT32");
    EXPECT_EQ(r.list.entries[1].firstSector, 22528u);
    EXPECT_EQ(r.list.entries[1].endSector, 63488u);
    EXPECT_EQ(r.list.entries[2].fileSystemName, "FAT16");
    EXPECT_EQ(r.list.entries[2].endSector, 100352u);
    EXPECT_EQ(r.list.label(2), "Partition - 3 ( FAT16 )");
    for (const auto& e : r.list.entries) {
        EXPECT_EQ(e.table, TableKind::Gpt);
        EXPECT_FALSE(e.foundBySearch);
    }
    EXPECT_EQ(r.result.table, TableKind::Gpt);
    EXPECT_TRUE(r.result.partitionsListed);
    EXPECT_EQ(r.result.outcome, TableReadOutcome::Listed);
    EXPECT_EQ(r.corruptedCalls, 0);
    EXPECT_EQ(r.readFailures, 0);
}

TEST(Gpt, Crc32MatchesTheStandardCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(gptCrc32(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0xCBF43926u);
    EXPECT_EQ(gptCrc32(nullptr, 0), 0u);
}

TEST(Gpt, VolumesAreListedInEntryOrderByTheirBootSectors) {
    MemoryDisk disk = threeVolumeDisk();
    const Read r = readTable(disk);
    expectThreeVolumes(r);
    EXPECT_FALSE(r.result.gptBackupUsed);
    EXPECT_STREQ(tableKindName(r.list.entries[0].table), "gpt");
}

TEST(Gpt, DamagedPrimaryFallsBackToTheBackupHeader) {
    {
        MemoryDisk disk = threeVolumeDisk();
        disk.sector(1)[40] ^= 1;  // header CRC mismatch
        const Read r = readTable(disk);
        expectThreeVolumes(r);
        EXPECT_TRUE(r.result.gptBackupUsed);
    }
    {
        MemoryDisk disk = threeVolumeDisk();
        disk.sector(2)[32] ^= 1;  // entry array CRC mismatch: the header alone is not trusted
        const Read r = readTable(disk);
        expectThreeVolumes(r);
        EXPECT_TRUE(r.result.gptBackupUsed);
    }
    {
        MemoryDisk disk = threeVolumeDisk();
        std::memset(disk.sector(1), 0, 512);
        const Read r = readTable(disk);
        expectThreeVolumes(r);
        EXPECT_TRUE(r.result.gptBackupUsed);
    }
}

TEST(Gpt, BothHeadersDamagedListsNothingWithoutCorruption) {
    MemoryDisk disk = threeVolumeDisk();
    std::memset(disk.sector(1), 0, 512);
    disk.sector(kDisk - 1)[16] ^= 0xFF;
    const Read r = readTable(disk);
    EXPECT_EQ(r.list.count(), 0);
    EXPECT_FALSE(r.result.partitionsListed);
    EXPECT_EQ(r.result.table, TableKind::Mbr);
    EXPECT_EQ(r.result.outcome, TableReadOutcome::Listed);
    EXPECT_EQ(r.corruptedCalls, 0);  // the protective slot covers the disk by design
}

TEST(Gpt, ProtectiveSlotIsExemptFromThePlausibilityTestOnSmallDisks) {
    // A 5 MiB disk: every slot start lies within 24576 sectors of its end.
    MemoryDisk disk(10240);
    test::writeGpt(disk, {{128, 6271}});
    disk.ntfsBoot(128, 6143);
    const Read r = readTable(disk);
    EXPECT_EQ(r.corruptedCalls, 0);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].firstSector, 128u);
    EXPECT_EQ(r.list.entries[0].endSector, 6272u);
}

TEST(Gpt, HybridMbrUsesTheGpt) {
    MemoryDisk disk = threeVolumeDisk();
    // A hybrid MBR mirrors the FAT32 entry in slot 1, after the protective one,
    // and one slot would fail the plausibility test.
    disk.slot(0, 1, 0x0C, 22528, 40960);
    disk.slot(0, 2, 0x07, kDisk - 100, 50);
    Read r = readTable(disk);
    expectThreeVolumes(r);

    // Without an intact GPT the other slots are read as an ordinary table.
    std::memset(disk.sector(1), 0, 512);
    std::memset(disk.sector(kDisk - 1), 0, 512);
    disk.slot(0, 2, 0, 0, 0);
    r = readTable(disk);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].fileSystemName, "FAT32");
    EXPECT_EQ(r.list.entries[0].table, TableKind::Mbr);
    EXPECT_EQ(r.result.table, TableKind::Mbr);
}

TEST(Gpt, HeaderChecks) {
    MemoryDisk disk = threeVolumeDisk();
    GptHeader h;
    EXPECT_TRUE(parseGptHeader(disk.sector(1), 1, kDisk, h));
    EXPECT_EQ(h.entriesLba, 2u);
    EXPECT_EQ(h.entryCount, 128u);
    EXPECT_EQ(h.entrySize, 128u);
    EXPECT_FALSE(parseGptHeader(disk.sector(1), 2, kDisk, h));  // its own LBA is 1
    EXPECT_FALSE(parseGptHeader(disk.sector(1), 1, 20, h));     // array would pass the disk's end
    EXPECT_TRUE(parseGptHeader(disk.sector(kDisk - 1), kDisk - 1, kDisk, h));
    EXPECT_EQ(h.entriesLba, kDisk - 33);

    // A well-formed header with entries too small to be GPT entries.
    test::writeGptHeader(disk, 1, kDisk - 1, 2, test::gptArray({}));
    EXPECT_TRUE(parseGptHeader(disk.sector(1), 1, kDisk, h));
    test::putLe(disk.sector(1) + 84, 64, 4);
    test::putLe(disk.sector(1) + 16, 0, 4);
    test::putLe(disk.sector(1) + 16, gptCrc32(disk.sector(1), 92), 4);
    EXPECT_FALSE(parseGptHeader(disk.sector(1), 1, kDisk, h));
    // An entry count whose array would be gigabytes long.
    test::writeGptHeader(disk, 1, kDisk - 1, 2, test::gptArray({}));
    test::putLe(disk.sector(1) + 80, 0x01000000, 4);
    test::putLe(disk.sector(1) + 16, 0, 4);
    test::putLe(disk.sector(1) + 16, gptCrc32(disk.sector(1), 92), 4);
    EXPECT_FALSE(parseGptHeader(disk.sector(1), 1, kDisk, h));
}

TEST(Gpt, EntriesOutsideTheDiskAreNotRead) {
    MemoryDisk disk(kDisk);
    test::writeGpt(disk, {{kDisk + 10, kDisk + 5000}, {5000, 1000}, {2048, 4095}});
    disk.fat32Boot(2048, 2048);
    const Read r = readTable(disk);
    EXPECT_EQ(r.readFailures, 0);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
}

TEST(Gpt, ListStopsAtTwentySixPartitions) {
    MemoryDisk disk(kDisk);
    std::vector<GptPart> parts;
    for (std::uint64_t i = 0; i < 30; ++i) {
        parts.push_back({2048 + i * 2048, 2048 + i * 2048 + 2047});
        disk.fat16Boot(2048 + i * 2048, 2048);
    }
    test::writeGpt(disk, parts);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), kMaxPartitions);
    EXPECT_EQ(r.list.entries.back().firstSector, 2048u + 25 * 2048);
}

TEST(Gpt, PartitionsBeyond32BitSectorsAreReportedAndSkipped) {
    const std::uint64_t sectors = 0x180000000ull;  // 3 TiB, sparse
    test::SparseDisk disk(sectors);
    const std::uint64_t high = 0x100000000ull;
    test::writeGpt(disk, {{2048, 1050623},
                          {0xFFF00000ull, 0x100100000ull},  // starts below 2^32, ends beyond
                          {high, high + 204799},
                          {0xFFE00000ull, 0xFFEFFFFFull}});
    test::ntfsBootAt(disk, 2048, 1048575);
    test::ntfsBootAt(disk, 0xFFF00000ull, 0x200000);
    test::ntfsBootAt(disk, high, 204799);
    test::ntfsBootAt(disk, 0xFFE00000ull, 0xFFFFF);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 2);
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[1].firstSector, 0xFFE00000u);
    EXPECT_EQ(r.list.entries[1].endSector, 0xFFF00000u);
    ASSERT_EQ(r.result.skipped.size(), 2u);
    EXPECT_EQ(r.result.skipped[0].entryIndex, 1u);
    EXPECT_EQ(r.result.skipped[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.result.skipped[0].firstSector, 0xFFF00000ull);
    EXPECT_EQ(r.result.skipped[0].endSector, 0x100100001ull);
    EXPECT_EQ(r.result.skipped[1].entryIndex, 2u);
    EXPECT_EQ(r.result.skipped[1].firstSector, high);
}

}  // namespace
}  // namespace qvx::partition

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

TEST(Gpt, PartitionsBeyond32BitSectorsAreListedWith64BitNumbers) {
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
    ASSERT_EQ(r.list.count(), 4);
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[1].firstSector, 0xFFF00000ull);
    EXPECT_EQ(r.list.entries[1].endSector, 0x100100001ull);
    EXPECT_EQ(r.list.entries[2].firstSector, high);
    EXPECT_EQ(r.list.entries[2].endSector, high + 204800);
    EXPECT_EQ(r.list.entries[3].firstSector, 0xFFE00000ull);
    EXPECT_EQ(r.list.entries[3].endSector, 0xFFF00000ull);
    EXPECT_TRUE(r.result.skipped.empty());
}

TEST(Gpt, EntriesNoByteOffsetReachesAreReportedAndSkipped) {
    test::SparseDisk disk(0x180000000ull);
    test::writeGpt(disk, {{2048, 4095}, {0x00FFFFFFFFFFFF00ull, 0x00FFFFFFFFFFFFFFull}});
    test::ntfsBootAt(disk, 2048, 2047);
    const Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 1);
    EXPECT_TRUE(r.result.skipped.empty()) << "an entry past the disk's end has no boot sector to read";
}

/// A GPT counted in 4096-byte sectors: the header at byte 4096, the array
/// right after it, entries in 4096-byte sectors.
void writeGpt4k(MemoryDisk& disk, const std::vector<GptPart>& parts) {
    constexpr std::uint64_t kUnits = 8;
    const std::uint64_t logical = disk.sectors() / kUnits;
    const std::vector<std::uint8_t> array = test::gptArray(parts);
    std::uint8_t* mbr = disk.sector(0);
    mbr[0x1BE + 4] = kProtectiveType;
    test::putLe(mbr + 0x1BE + 8, 1, 4);
    test::putLe(mbr + 0x1BE + 12, logical - 1, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    auto header = [&](std::uint64_t at, std::uint64_t other, std::uint64_t arrayAt) {
        std::memcpy(disk.sector(arrayAt * kUnits), array.data(), array.size());
        std::uint8_t* h = disk.sector(at * kUnits);
        std::memcpy(h, "EFI PART", 8);
        test::putLe(h + 8, 0x00010000, 4);
        test::putLe(h + 12, 92, 4);
        test::putLe(h + 24, at, 8);
        test::putLe(h + 32, other, 8);
        test::putLe(h + 40, 6, 8);
        test::putLe(h + 48, logical - 6, 8);
        test::putLe(h + 72, arrayAt, 8);
        test::putLe(h + 80, test::kGptEntries, 4);
        test::putLe(h + 84, test::kGptEntrySize, 4);
        test::putLe(h + 88, gptCrc32(array.data(), array.size()), 4);
        test::putLe(h + 16, gptCrc32(h, 92), 4);
    };
    header(1, logical - 1, 2);
    header(logical - 1, 1, logical - 5);
}

TEST(Gpt, FourKnTableIsReadInItsOwnSectors) {
    MemoryDisk disk(8 * 4096);  // 16 MiB, 4096 logical sectors
    writeGpt4k(disk, {{256, 1279}, {1280, 2559}});
    disk.ntfsBoot(256 * 8, 1023);
    disk.put16At(256 * 8, 11, 4096);
    disk.fat16Boot(1280 * 8, 1280);
    disk.put16At(1280 * 8, 11, 4096);
    Read r = readTable(disk);
    ASSERT_EQ(r.list.count(), 2);
    EXPECT_EQ(r.result.table, TableKind::Gpt);
    EXPECT_FALSE(r.result.gptBackupUsed);
    // Listed in 512-byte sectors; 4096-byte sector 256 is 512-byte sector 2048.
    EXPECT_EQ(r.list.entries[0].fileSystemName, "NTFS");
    EXPECT_EQ(r.list.entries[0].firstSector, 2048u);
    EXPECT_EQ(r.list.entries[0].endSector, 1280u * 8);
    EXPECT_EQ(r.list.entries[1].fileSystemName, "FAT16");
    EXPECT_EQ(r.list.entries[1].firstSector, 1280u * 8);
    EXPECT_EQ(r.list.entries[1].endSector, 2560u * 8);

    // The backup header sits in the last 4096-byte sector.
    std::memset(disk.sector(8), 0, 512);
    r = readTable(disk);
    ASSERT_EQ(r.list.count(), 2);
    EXPECT_TRUE(r.result.gptBackupUsed);
    EXPECT_EQ(r.list.entries[1].endSector, 2560u * 8);
}

}  // namespace
}  // namespace qvx::partition

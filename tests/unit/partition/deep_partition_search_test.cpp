#include <gtest/gtest.h>

#include "partition/partition_search.h"
#include "support/memory_disk.h"

namespace qvx::partition {
namespace {

using test::MemoryDisk;

SearchGeometry geometryFor(const MemoryDisk& disk) {
    return {std::to_string(disk.sectors() / 16065), "255", "63", disk.sectors()};
}

// Boot sectors with the BPB fields a formatter writes, plus the structure
// they point at (the MFT's first record, the first FAT).
void ntfsVolume(MemoryDisk& disk, std::uint64_t start, std::uint64_t sectors, bool withBackup = true) {
    const std::uint64_t total = sectors - 1;  // the backup sits in the last sector
    disk.ntfsBoot(start, total);
    disk.put16At(start, 11, 512);
    disk.sector(start)[13] = 8;        // sectors per cluster
    disk.put32At(start, 48, 4);        // MFT at cluster 4
    disk.text(start + 32, 0, "FILE0");
    if (withBackup) std::memcpy(disk.sector(start + total), disk.sector(start), 512);
}

void fat32Volume(MemoryDisk& disk, std::uint64_t start, std::uint32_t sectors, bool withBackup = true) {
    disk.fat32Boot(start, sectors);
    disk.put16At(start, 11, 512);
    disk.sector(start)[13] = 1;
    disk.put16At(start, 14, 32);       // reserved sectors
    disk.sector(start)[16] = 2;        // FATs
    disk.sector(start)[21] = 0xF8;     // media
    disk.put16At(start, 50, 6);        // backup boot sector
    const std::uint8_t fat[4] = {0xF8, 0xFF, 0xFF, 0x0F};
    std::memcpy(disk.sector(start + 32), fat, 4);
    if (withBackup) std::memcpy(disk.sector(start + 6), disk.sector(start), 512);
}

void fat16Volume(MemoryDisk& disk, std::uint64_t start, std::uint32_t sectors) {
    disk.fat16Boot(start, sectors);
    disk.put16At(start, 11, 512);
    disk.sector(start)[13] = 4;
    disk.put16At(start, 14, 4);
    disk.sector(start)[16] = 2;
    disk.sector(start)[21] = 0xF8;
}

std::vector<std::pair<std::string, std::uint32_t>> starts(const DiskPartitionList& list) {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    for (const auto& e : list.entries) out.emplace_back(e.fileSystemName, e.firstSector);
    return out;
}

using Starts = std::vector<std::pair<std::string, std::uint32_t>>;

TEST(DeepPartitionSearch, FindsVolumesAtAnySectorOnceEach) {
    MemoryDisk disk(40000);
    ntfsVolume(disk, 1001, 3000);       // odd, off every cylinder and MiB boundary
    fat32Volume(disk, 8191, 9000);      // its backup lands in the next 4 MiB read
    fat16Volume(disk, 30001, 5000);
    DiskPartitionList list;
    util::NullProgress progress;
    const auto r = DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_FALSE(r.stopped);
    EXPECT_FALSE(r.unknownOffered);
    EXPECT_EQ(r.added, 3);
    EXPECT_EQ(starts(list), (Starts{{"NTFS", 1001}, {"FAT32", 8191}, {"FAT16", 30001}}));
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.entries[0].endSector, 1001u + 3000);  // first + total sectors field + the backup
    EXPECT_EQ(list.entries[1].endSector, 8191u + 9000);
    for (const auto& e : list.entries) {
        EXPECT_TRUE(e.foundBySearch);
        EXPECT_EQ(e.table, TableKind::Search);
    }
}

TEST(DeepPartitionSearch, VolumesWithADestroyedFirstSectorAreFoundByTheirBackups) {
    MemoryDisk disk(20000);
    ntfsVolume(disk, 2003, 4000);
    std::memset(disk.sector(2003), 0, 512);
    fat32Volume(disk, 9001, 7000);
    std::memset(disk.sector(9001), 0, 512);
    DiskPartitionList list;
    util::NullProgress progress;
    DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(starts(list), (Starts{{"NTFS", 2003}, {"FAT32", 9001}}));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entries[0].endSector, 2003u + 4000);

    const auto reader = disk.reader();
    const FoundVolume ntfs = locateVolume(*reader, 0, 2003 + 3999, disk.sector(2003 + 3999));
    EXPECT_EQ(ntfs.name, "NTFS");
    EXPECT_EQ(ntfs.firstSector, 2003u);
    EXPECT_TRUE(ntfs.fromBackup);
    const FoundVolume fat = locateVolume(*reader, 0, 9007, disk.sector(9007));
    EXPECT_EQ(fat.firstSector, 9001u);
    EXPECT_TRUE(fat.fromBackup);
}

TEST(DeepPartitionSearch, APrimaryAloneIsTakenAsThePrimary) {
    MemoryDisk disk(20000);
    ntfsVolume(disk, 7000, 3000, false);   // 7000 >= its size: a backup reading would also fit
    fat32Volume(disk, 12001, 5000, false);
    DiskPartitionList list;
    util::NullProgress progress;
    DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(starts(list), (Starts{{"NTFS", 7000}, {"FAT32", 12001}}));
}

TEST(DeepPartitionSearch, TableEntriesAreNotListedTwice) {
    MemoryDisk disk(20000);
    ntfsVolume(disk, 2048, 4096);
    fat16Volume(disk, 8192, 4096);
    DiskPartitionList list;
    list.entries.push_back({"NTFS", 2048, 2048 + 4096, false, TableKind::Mbr});
    util::NullProgress progress;
    const auto r = DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(starts(list), (Starts{{"NTFS", 2048}, {"FAT16", 8192}}));
    EXPECT_EQ(list.entries[0].table, TableKind::Mbr);
}

TEST(DeepPartitionSearch, SignatureTextAloneIsNotAVolume) {
    MemoryDisk disk(10000);
    disk.ntfsBoot(100, 500);        // no bytes per sector, no cluster size
    disk.fat32Boot(300, 500);
    disk.put16At(300, 11, 512);
    disk.sector(300)[13] = 3;       // not a power of two
    disk.fat16Boot(500, 500);
    disk.put16At(500, 11, 512);
    disk.sector(500)[13] = 1;       // no reserved sectors, no FATs
    DiskPartitionList list;
    util::NullProgress progress;
    const auto r = DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 0);
    EXPECT_TRUE(r.unknownOffered);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.entries[0].fileSystemName, "Unknown Partition");
    EXPECT_EQ(list.entries[0].endSector, 10000u);
}

TEST(DeepPartitionSearch, AnUnreadableSectorCostsOnlyItself) {
    MemoryDisk disk(20000);
    fat16Volume(disk, 9000, 1000);
    fat16Volume(disk, 9100, 1000);
    disk.sector(9050)[0] = 0xEE;
    disk.device()->badSectors.insert(9050);
    disk.device()->badSectors.insert(9100);  // this volume's boot sector cannot be read
    DiskPartitionList list;
    util::NullProgress progress;
    DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(starts(list), (Starts{{"FAT16", 9000}}));
}

TEST(DeepPartitionSearch, ReadsTheDiskInLargeRuns) {
    MemoryDisk disk(3 * kDeepSearchChunkSectors + 5);
    DiskPartitionList list;
    util::NullProgress progress;
    DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(disk.device()->readCalls.load(), 4);
}

TEST(DeepPartitionSearch, StopsAtTwentySixEntries) {
    MemoryDisk disk(40 * 600);
    for (int i = 0; i < 40; ++i) fat16Volume(disk, 600u * i + 3, 500);
    DiskPartitionList list;
    util::NullProgress progress;
    const auto r = DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, kMaxPartitions);
    EXPECT_EQ(list.count(), kMaxPartitions);
    EXPECT_EQ(list.entries.back().firstSector, 600u * 25 + 3);
}

TEST(DeepPartitionSearch, StopKeepsWhatWasFound) {
    MemoryDisk disk(3 * kDeepSearchChunkSectors);
    fat16Volume(disk, 10, 1000);
    fat16Volume(disk, 2 * kDeepSearchChunkSectors + 10, 1000);
    DiskPartitionList list;
    std::stop_source stop;
    class StopAtSecondRead : public util::ProgressSink {
    public:
        explicit StopAtSecondRead(std::stop_source& s) : m_stop(s) {}
        void setProgress(int, const std::string&) override {
            if (++m_calls == 2) m_stop.request_stop();
        }
        void setHelpText(const std::string& text) override { help = text; }
        std::string help;

    private:
        std::stop_source& m_stop;
        int m_calls = 0;
    } progress(stop);
    const auto r = DeepPartitionSearch(*disk.reader(), 0, geometryFor(disk), list, stop.get_token(), progress);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(starts(list), (Starts{{"FAT16", 10}}));
    EXPECT_EQ(progress.help, kSearchStoppedHelp);
}

TEST(DeepPartitionSearch, SearchPartitionsChoosesByDepth) {
    MemoryDisk disk(20000);
    fat16Volume(disk, 5001, 1000);  // on no probe position
    util::NullProgress progress;
    DiskPartitionList probed, deep;
    SearchPartitions(SearchDepth::Probes, *disk.reader(), 0, geometryFor(disk), probed, {}, progress);
    SearchPartitions(SearchDepth::Deep, *disk.reader(), 0, geometryFor(disk), deep, {}, progress);
    EXPECT_EQ(starts(probed), (Starts{{"Unknown Partition", 0}}));
    EXPECT_EQ(starts(deep), (Starts{{"FAT16", 5001}}));
}

}  // namespace
}  // namespace qvx::partition

#include "partition/partition_search.h"

#include <gtest/gtest.h>

#include "support/memory_disk.h"

namespace qvx::partition {
namespace {

using test::MemoryDisk;

class RecordingProgress : public util::ProgressSink {
public:
    void setProgress(int percent, const std::string& text) override {
        percents.push_back(percent);
        progressText = text;
    }
    void setHelpText(const std::string& text) override { help = text; }
    std::vector<int> percents;
    std::string progressText, help;
};

SearchGeometry geometryFor(const MemoryDisk& disk) {
    return {std::to_string(disk.sectors() / 16065), "255", "63", disk.sectors()};
}

TEST(PartitionSearch, GeometryIsNormalisedTo63SectorsAnd255Heads) {
    const NormalisedGeometry g = normaliseGeometry({"1024", "16", "32", 0});
    EXPECT_EQ(g.cylinders, 32u);
    EXPECT_EQ(g.heads, 255u);
    EXPECT_EQ(g.sectorsPerTrack, 63u);
    const NormalisedGeometry kept = normaliseGeometry({"100", "128", "63", 0});
    EXPECT_EQ(kept.cylinders, 100u);
    EXPECT_EQ(kept.heads, 128u);
    EXPECT_EQ(normaliseGeometry({"", "", "", 0}).cylinders, 0u);
}

TEST(PartitionSearch, RecognisesBootSectorsAndTheirSizes) {
    MemoryDisk disk(4);
    disk.fat32Boot(0, 1000000);
    disk.fat16Boot(1, 0);
    disk.put16At(1, 19, 40000);  // small FAT16 volume: 16-bit size field
    disk.ntfsBoot(2, 0x100000010ull);
    EXPECT_EQ(recogniseBootSector(disk.sector(0)).name, "FAT32");
    EXPECT_EQ(recogniseBootSector(disk.sector(0)).sizeSectors, 1000000u);
    EXPECT_EQ(recogniseBootSector(disk.sector(1)).name, "FAT16");
    EXPECT_EQ(recogniseBootSector(disk.sector(1)).sizeSectors, 40000u);
    EXPECT_EQ(recogniseBootSector(disk.sector(2)).name, "NTFS");
    EXPECT_EQ(recogniseBootSector(disk.sector(2)).sizeSectors, 0x10u);  // low 32 bits
    EXPECT_EQ(recogniseBootSector(disk.sector(3)).name, "");
}

TEST(PartitionSearch, FindsVolumesAtBothProbePositionsAndSkipsDuplicates) {
    MemoryDisk disk(16065 * 6);
    disk.fat32Boot(63, 1000000);              // cylinder 0, head 1
    disk.ntfsBoot(16065 * 2, 16065);           // cylinder 2, first sector
    disk.fat16Boot(16065 * 4 + 63, 20000);
    disk.sector(16065 * 4 + 63)[511] = 0;  // no marker: ignored
    DiskPartitionList list;
    list.entries.push_back({"NTFS", 16065 * 2, 16065 * 3, false});  // already listed
    RecordingProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(list.entries[1].fileSystemName, "FAT32");
    EXPECT_EQ(list.entries[1].firstSector, 63u);
    EXPECT_EQ(list.entries[1].endSector, 1000063u);
    EXPECT_TRUE(list.entries[1].foundBySearch);
    EXPECT_EQ(progress.percents.front(), 0);
    EXPECT_EQ(progress.percents.back(), 100);
    EXPECT_EQ(progress.progressText, "Completed ");
    EXPECT_EQ(progress.help, kSearchDoneHelp);
}

TEST(PartitionSearch, SameStartWithAnotherSizeIsListedAgain) {
    MemoryDisk disk(16065 * 2);
    disk.fat32Boot(63, 5000);
    DiskPartitionList list;
    list.entries.push_back({"FAT32", 63, 63 + 4000, true, TableKind::Search});  // an earlier search's
    util::NullProgress progress;
    PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(list.count(), 2);
}

TEST(PartitionSearch, TheTablesPartitionFoundAgainIsListedOnce) {
    // A table entry and the boot sector at its start are one volume, even
    // where the sizes differ: NTFS counts its sectors without the backup
    // boot sector, and a truncated image ends the table's read early.
    MemoryDisk disk(16065 * 4);
    disk.ntfsBoot(63, 16065 - 1);
    disk.fat32Boot(16065 * 2, 5000);
    DiskPartitionList list;
    list.entries.push_back({"NTFS", 63, 63 + 16065, false, TableKind::Mbr});
    list.entries.push_back({"FAT32", 16065 * 2, 16065 * 2 + 4000, false, TableKind::Gpt});
    util::NullProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 0);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entries[0].endSector, 63u + 16065);  // the table's own entry stays

    // Another type at the same start is another volume.
    list.entries[0].fileSystemName = "FAT16";
    PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.entries[2].fileSystemName, "NTFS");
    EXPECT_EQ(list.entries[2].firstSector, 63u);
}

TEST(PartitionSearch, FullListAddsNothing) {
    MemoryDisk disk(16065 * 2);
    disk.fat32Boot(63, 5000);
    DiskPartitionList list;
    for (int i = 0; i < kMaxPartitions; ++i) list.entries.push_back({"FAT16", 1u + i, 2u + i, false});
    util::NullProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(list.count(), kMaxPartitions);
}

TEST(PartitionSearch, NothingFoundOffersTheWholeDisk) {
    MemoryDisk disk(16065 * 3 + 7);
    DiskPartitionList list;
    RecordingProgress progress;
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, {}, progress);
    EXPECT_TRUE(r.unknownOffered);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.entries[0].fileSystemName, "Unknown Partition");
    EXPECT_EQ(list.entries[0].firstSector, 0u);
    EXPECT_EQ(list.entries[0].endSector, 16065u * 3 + 7);
}

TEST(PartitionSearch, StopKeepsWhatWasFound) {
    MemoryDisk disk(16065 * 4);
    disk.fat32Boot(63, 5000);
    disk.ntfsBoot(16065 * 3, 5000);
    DiskPartitionList list;
    std::stop_source stop;
    class StopAfterFirst : public util::ProgressSink {
    public:
        explicit StopAfterFirst(std::stop_source& s) : m_stop(s) {}
        void setProgress(int, const std::string&) override {
            if (++m_calls == 2) m_stop.request_stop();
        }
        void setHelpText(const std::string& text) override { help = text; }
        std::string help;

    private:
        std::stop_source& m_stop;
        int m_calls = 0;
    } progress(stop);
    const auto r = PartitionSearch(*disk.reader(), 0, geometryFor(disk), list, stop.get_token(), progress);
    EXPECT_TRUE(r.stopped);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.entries[0].fileSystemName, "FAT32");
    EXPECT_EQ(progress.help, kSearchStoppedHelp);
}

}  // namespace
}  // namespace qvx::partition

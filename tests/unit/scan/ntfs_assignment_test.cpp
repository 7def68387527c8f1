#include "scan/ntfs_assignment.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ntfs_image_builder.h"
#include "records/tables.h"
#include "scan/ntfs_open_fs.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::scan {
namespace {

using test::buildIndx;
using test::folderRecord;
using test::Image;
using test::SampleVolume;
using test::put16;
using test::put32;

struct Assigned {
    records::RecordTables tables;
    NtfsAssignmentResult result;
};

Assigned scanAndAssign(const Image& image, std::uint64_t start, std::uint64_t end) {
    auto reader = image.reader();
    partition::VolumeRange disk;
    disk.reader = reader.get();
    Assigned run;
    util::NullProgress progress;
    scanRawNtfs(disk, start, end, run.tables, progress, {});
    run.result = assignMftNumbers(disk, start, end, run.tables, progress);
    writeNtfsScanTables(run.tables);
    return run;
}

/// "File System" of the DirectoryScanTable row of the folder with that name.
std::string fileSystemOf(const records::RecordTables& t, std::string_view name) {
    const records::RecordTable& dirs = t.DirectoryScanTable;
    for (int row = 0; row < dirs.rowCount(); ++row)
        if (dirs.cell(row, NtfsDirCol::kTime) == name) return std::string(dirs.cell(row, NtfsDirCol::kFileSystem));
    return "missing";
}

TEST(NtfsAssignment, BootSectorIdentifiesTheVolumeAndFoldersInherit) {
    Image image(6000);
    SampleVolume volume{1000};
    volume.write(image);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.fileSystems, 1);  // the backup boot sector confirms nothing more
    const records::RecordTable& fs = run.tables.FileSystemTable;
    ASSERT_EQ(fs.rowCount(), 1);
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSector), "1000");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kCluster0Start), "1000");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpf), "3047");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpc), "8");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kPartType), "NTFS");
    for (const char* name : {".", "Docs", "Empty", "Sub"}) EXPECT_EQ(fileSystemOf(run.tables, name), "1") << name;
    // Both first index records were confirmed and left the table.
    EXPECT_EQ(run.tables.IndexRecordTable.rowCount(), 0);
}

TEST(NtfsAssignment, ZeroedBootSectorsLeaveTheFolderPairs) {
    Image image(6000);
    SampleVolume volume{1000};
    volume.write(image, false);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(run.result.fileSystems, 1);
    EXPECT_FALSE(run.result.wholeRangeFallback);
    const records::RecordTable& fs = run.tables.FileSystemTable;
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSector), "1000");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpc), "8");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpf), "6000");
    for (const char* name : {".", "Docs", "Empty", "Sub"}) EXPECT_EQ(fileSystemOf(run.tables, name), "1") << name;
}

TEST(NtfsAssignment, TwoVolumesWithoutBootSectorsAreTwoFileSystems) {
    Image image(8192);
    SampleVolume{100}.write(image, false);
    SampleVolume{4000, 200, 220}.write(image, false);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(run.result.fileSystems, 2);
    const records::RecordTable& fs = run.tables.FileSystemTable;
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSector), "100");
    EXPECT_EQ(fs.cell(1, NtfsBootCol::kSector), "4000");
    const records::RecordTable& dirs = run.tables.DirectoryScanTable;
    ASSERT_EQ(dirs.rowCount(), 8);
    for (int row = 0; row < 4; ++row) EXPECT_EQ(dirs.cell(row, NtfsDirCol::kFileSystem), "1") << row;
    for (int row = 4; row < 8; ++row) EXPECT_EQ(dirs.cell(row, NtfsDirCol::kFileSystem), "2") << row;
}

TEST(NtfsAssignment, EqualFirstClustersOrOddClusterSizesGiveNoPair) {
    Image image(8192);
    // Docs' index record 3 sectors per cluster away from the root's.
    SampleVolume volume{0, 100, 120};
    volume.write(image, false);
    image.zero(960, 8);
    image.place(800 + 20 * 3, buildIndx(0, {{71, 64, 1071, "b.doc", false}}));
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.fileSystems, 0);
    EXPECT_TRUE(run.result.wholeRangeFallback);
}

TEST(NtfsAssignment, WithoutIndexRecordsTheWholeRangeIsOneFileSystem) {
    Image image(4096);
    SampleVolume{}.write(image, false);
    image.zero(800, 8);
    image.zero(960, 8);
    const Assigned run = scanAndAssign(image, 16, 4000);
    EXPECT_EQ(run.result.fileSystems, 0);
    EXPECT_TRUE(run.result.wholeRangeFallback);
    const records::RecordTable& fs = run.tables.FileSystemTable;
    ASSERT_EQ(fs.rowCount(), 1);
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSector), "16");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kCluster0Start), "16");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpf), "4000");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpc), "8");
    // Folders with a first index cluster but no index record get the marker
    // and then inherit "1" from the start value.
    EXPECT_EQ(fileSystemOf(run.tables, "Docs"), "1");
}

/// Opens file system 1 of the tables; the sectors per MFT record it gives.
std::uint32_t openedRecordSectors(records::RecordTables tables) {
    records::FolderNodeList nodes;
    records::ItemStore items;
    util::NullProgress progress;
    const OpenedNtfsFileSystem opened = openNtfsFileSystem(1, tables, items, nodes, progress);
    EXPECT_TRUE(opened.found);
    return opened.sectorsPerMftRecord;
}

TEST(NtfsAssignment, OneKibibyteRecordsGiveTwoSectorsPerRecord) {
    Image image(6000);
    SampleVolume{1000}.write(image);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(run.tables.FileSystemTable.rowCount(), 1);
    EXPECT_EQ(run.tables.FileSystemTable.cell(0, NtfsBootCol::kRootSectors), "2");
    EXPECT_EQ(openedRecordSectors(run.tables), 2u);
}

TEST(NtfsAssignment, VolumeOfFourKibibyteSectorsIsFoundByItsBootSector) {
    Image image(6000);
    SampleVolume volume{1000};
    volume.bigSectors = true;
    volume.write(image);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.fileSystems, 1);
    EXPECT_FALSE(run.result.wholeRangeFallback);
    const records::RecordTable& fs = run.tables.FileSystemTable;
    ASSERT_EQ(fs.rowCount(), 1);
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kCluster0Start), "1000");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpf), "3040");       // 255 sectors of 4096 bytes
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kSpc), "8");
    EXPECT_EQ(fs.cell(0, NtfsBootCol::kRootSectors), "8");  // 4096-byte records
    for (const char* name : {".", "Docs", "Empty", "Sub"}) EXPECT_EQ(fileSystemOf(run.tables, name), "1") << name;
    EXPECT_EQ(run.tables.MftRecordTable.rowCount(), 9);
    EXPECT_EQ(openedRecordSectors(run.tables), 8u);
}

TEST(NtfsAssignment, WithoutBootSectorsTheRecordHeadersGiveTheRecordSize) {
    Image image(6000);
    SampleVolume volume{1000};
    volume.bigSectors = true;
    volume.write(image, false);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(run.result.fileSystems, 1);
    EXPECT_EQ(run.tables.FileSystemTable.cell(0, NtfsBootCol::kSpc), "8");
    EXPECT_EQ(run.tables.FileSystemTable.cell(0, NtfsBootCol::kRootSectors), "8");
    for (const char* name : {".", "Docs", "Empty", "Sub"}) EXPECT_EQ(fileSystemOf(run.tables, name), "1") << name;

    // Without index records the whole range is one file system; its
    // records still say how large they are.
    image.zero(1000 + 800, 8);
    image.zero(1000 + 960, 8);
    const Assigned whole = scanAndAssign(image, 0, image.sectors());
    EXPECT_TRUE(whole.result.wholeRangeFallback);
    EXPECT_EQ(whole.tables.FileSystemTable.cell(0, NtfsBootCol::kRootSectors), "8");
    EXPECT_EQ(openedRecordSectors(whole.tables), 8u);
}

TEST(NtfsAssignment, TheBootSectorsRecordSizeWinsOverTheHeaders) {
    Image image(6000);
    SampleVolume{1000}.write(image);
    image.bytes()[1000 * 512 + 0x40] = 0xF5;  // 2048-byte records, says the boot sector
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(run.tables.FileSystemTable.rowCount(), 1);
    EXPECT_EQ(run.tables.FileSystemTable.cell(0, NtfsBootCol::kRootSectors), "4");
    // A field of no size the scan takes leaves it to the headers.
    image.bytes()[1000 * 512 + 0x40] = 0xF0;
    const Assigned headers = scanAndAssign(image, 0, image.sectors());
    ASSERT_EQ(headers.tables.FileSystemTable.rowCount(), 1);
    EXPECT_EQ(headers.tables.FileSystemTable.cell(0, NtfsBootCol::kRootSectors), "2");
}

TEST(NtfsOpenFileSystem, RecordSizesOutsideTheBoundsOpenAsOneKibibyte) {
    for (const char* cell : {"", "0", "3", "16", "99999999999"}) {
        records::RecordTables tables;
        const int row = tables.FileSystemTable.appendRow("0");
        tables.FileSystemTable.setCell(row, NtfsBootCol::kSpc, "8");
        tables.FileSystemTable.setCell(row, NtfsBootCol::kRootSectors, cell);
        EXPECT_EQ(openedRecordSectors(tables), 2u) << cell;
    }
}

TEST(NtfsAssignment, NothingScannedGivesNoFileSystem) {
    Image image(2048);
    const Assigned run = scanAndAssign(image, 0, 2048);
    EXPECT_EQ(run.tables.FileSystemTable.rowCount(), 0);
    EXPECT_FALSE(run.result.wholeRangeFallback);
}

TEST(NtfsAssignment, FoldersWithoutHeaderNumbersAreNumberedFromIndexEntries) {
    Image image(4096);
    SampleVolume{}.write(image);
    // Records written without their number in the header.
    image.place(32 + 2 * 64, folderRecord(0, "Docs", 5, 640, 120));
    image.place(32 + 2 * 66, folderRecord(0, "Sub", 64, 660, 0));
    // A folder no entry names: numbered by position after the one before.
    image.place(32 + 2 * 67, folderRecord(0, "Lost", 5, 670, 0));
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.phase1Matches, 2);
    const records::RecordTable& dirs = run.tables.DirectoryScanTable;
    std::map<std::string, std::string> self;
    for (int row = 0; row < dirs.rowCount(); ++row)
        self[std::string(dirs.cell(row, NtfsDirCol::kTime))] = dirs.cell(row, NtfsDirCol::kSelfCluster);
    EXPECT_EQ(self["Docs"], "64");
    EXPECT_EQ(self["Sub"], "66");
    EXPECT_EQ(self["Lost"], "67");
}

TEST(NtfsAssignment, APhaseOneMatchTakesOnlyTheFirstOfTwoEqualFolders) {
    Image image(4096);
    SampleVolume{}.write(image);
    image.place(32 + 2 * 64, folderRecord(0, "Docs", 5, 640, 120));
    image.place(32 + 2 * 90, folderRecord(0, "Docs", 5, 640, 0));  // same name, parent and time
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.phase1Matches, 1);
    const records::RecordTable& mft = run.tables.MftRecordTable;
    std::vector<std::string> numbers;
    for (int row = 0; row < mft.rowCount(); ++row)
        if (mft.cell(row, NtfsMftCol::kName) == "Docs") numbers.emplace_back(mft.cell(row, NtfsMftCol::kSelfMft));
    ASSERT_EQ(numbers.size(), 2u);
    EXPECT_EQ(numbers[0], "64");
    EXPECT_NE(numbers[1], "64");  // numbered by position instead
}

TEST(NtfsAssignment, PositionNumberingStartsAtTwoAndFollowsKnownNumbers) {
    Image image(512);
    image.place(10, test::fileRecord(0, "first", 5, 1));
    image.place(12, test::fileRecord(0, "second", 5, 1));
    image.place(14, test::fileRecord(0, "$UpCase", 5, 1));
    image.place(16, test::fileRecord(0, "after", 5, 1));
    const Assigned run = scanAndAssign(image, 0, 512);
    const records::RecordTable& mft = run.tables.MftRecordTable;
    ASSERT_EQ(mft.rowCount(), 4);
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSelfMft), "2");
    EXPECT_EQ(mft.cell(1, NtfsMftCol::kSelfMft), "3");
    EXPECT_EQ(mft.cell(2, NtfsMftCol::kSelfMft), "10");
    EXPECT_EQ(mft.cell(3, NtfsMftCol::kSelfMft), "11");
}

TEST(NtfsAssignment, HostileIndexEntriesEndTheWalk) {
    Image image(4096);
    SampleVolume{}.write(image);
    image.place(32 + 2 * 64, folderRecord(0, "Docs", 5, 640, 120));
    std::vector<std::uint8_t> indx = buildIndx(0, {{64, 5, 640, "Docs", true}});
    indx[0x40 + 0x50] = 255;                 // a name running far past the entry
    put16(indx, 0x40 + 0x08, 0xFFFF);        // and an entry length past the record
    put32(indx, 0x20, 65536);                // a size larger than what was read
    image.place(800, indx);
    const Assigned run = scanAndAssign(image, 0, image.sectors());
    EXPECT_EQ(run.result.phase1Matches, 0);
}

TEST(NtfsAssignment, DamagedVolumesEndWithoutCrashing) {
    std::mt19937 random(99);
    for (int round = 0; round < 25; ++round) {
        Image image(2048);
        SampleVolume{}.write(image, round % 2 == 0);
        if (round % 3 == 0) {
            image.place(32 + 2 * 64, folderRecord(0, "Docs", 5, 640, 120));
            image.place(32 + 2 * 66, folderRecord(0, "Sub", 64, 660, 0));
        }
        for (int k = 0; k < 300; ++k) {
            const std::size_t sector = random() % 2048;
            const std::size_t offset = 4 + random() % 508;
            image.bytes()[sector * 512 + offset] = static_cast<std::uint8_t>(random());
        }
        const Assigned run = scanAndAssign(image, 0, 2048);
        EXPECT_LE(run.tables.DirectoryScanTable.rowCount(), run.tables.MftRecordTable.rowCount());
        records::RecordTables tables = run.tables;
        records::FolderNodeList nodes;
        records::ItemStore items;
        util::NullProgress progress;
        for (int n = 1; n <= tables.FileSystemTable.rowCount(); ++n)
            openNtfsFileSystem(n, tables, items, nodes, progress);
    }
}

TEST(NtfsOpenFileSystem, DuplicateDirectoriesRemainOnce) {
    records::RecordTables tables;
    std::vector<records::NtfsScanFolder>& dirs = tables.ntfsScan.folders;
    for (const auto& [sector, self] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {100, 5}, {200, 64}, {300, 5}, {400, 640}}) {
        records::NtfsScanFolder folder;
        folder.sector = sector;
        folder.self = self;
        folder.firstRun = sector;
        dirs.push_back(folder);
    }
    tables.DirectoryMergeTable.appendRow("left over");
    removeDuplicateDirectories(tables);
    ASSERT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs[0].sector, 100u);
    EXPECT_EQ(dirs[1].self, 64u);
    EXPECT_EQ(dirs[2].self, 640u);
    EXPECT_EQ(dirs[2].firstRun, 400u);
    EXPECT_EQ(tables.DirectoryMergeTable.rowCount(), 0);
}

TEST(NtfsOpenFileSystem, UnknownNumbersOpenNothing) {
    records::RecordTables tables;
    records::FolderNodeList nodes;
    records::ItemStore items;
    util::NullProgress progress;
    EXPECT_FALSE(openNtfsFileSystem(1, tables, items, nodes, progress).found);
    EXPECT_FALSE(openNtfsFileSystem(0, tables, items, nodes, progress).found);
}

}  // namespace
}  // namespace qvx::scan

#include <gtest/gtest.h>

#include <map>

#include "engine/advance_search.h"
#include "engine/fat_listing.h"
#include "scan/fat_open.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::engine {
namespace {

using fat::test::Fat16Layout;
using fat::test::putDotEntries;
using fat::test::putEntry;
using fat::test::setFat16;
using fat::test::TestDisk;

// A FAT16 volume at sector 100 whose boot sector is gone:
//   root: DOCS (cluster 2), PHOTOS (cluster 5), A.TXT
//   DOCS: LETTERS (cluster 3), B.TXT       LETTERS, PHOTOS: empty
// plus a directory whose parent cluster holds no directory (cluster 7).
struct ZeroedBootVolume {
    TestDisk disk{600};
    Fat16Layout layout;

    ZeroedBootVolume() {
        layout.start = 100;
        fat::test::writeFat16Boot(disk, layout);
        std::memset(disk.sector(layout.start), 0, 512);
        std::uint8_t* root = disk.sector(layout.root());
        putEntry(root, "DOCS       ", 0x10, 2);
        putEntry(root + 32, "PHOTOS     ", 0x10, 5);
        putEntry(root + 64, "A       TXT", 0x20, 0, 10);
        std::uint8_t* docs = disk.sector(layout.clusterLba(2));
        putDotEntries(docs, 2, 0);
        putEntry(docs + 64, "LETTERS    ", 0x10, 3);
        putEntry(docs + 96, "B       TXT", 0x20, 0, 20);
        putDotEntries(disk.sector(layout.clusterLba(3)), 3, 2);
        putDotEntries(disk.sector(layout.clusterLba(5)), 5, 0);
        putDotEntries(disk.sector(layout.clusterLba(7)), 7, 40);
        for (std::uint32_t c : {2u, 3u, 5u, 7u}) setFat16(disk, layout, c, 0xFFFF);
    }

    void attach(RecoveryState& state) {
        state.reader->attachDevice(0, disk.sharedDevice());
        state.SelectedDisk = 0;
        state.FileSystemKind = "FAT16";
        state.SectorRangeStart = 0;
        state.SectorRangeEnd = disk.sectors() - 1;
    }
};

// Path of every folder node, built from parent links.
std::map<std::string, bool> folderPaths(const RecoveryState& state) {
    std::map<std::string, bool> paths;
    for (int i = 0; i < state.FolderNodeList.count(); ++i) {
        const records::FolderNode& n = state.FolderNodeList.node(i);
        paths[state.FolderNodeList.FolderPath(n.treeItem, "/")] = n.deleted;
    }
    return paths;
}

TEST(AdvanceSearch, RebuildsAFat16VolumeWithoutItsBootSector) {
    ZeroedBootVolume v;
    RecoveryState state;
    v.attach(state);
    util::NullProgress progress;
    const AdvanceScanResult scanned = runAdvanceScan(state, progress, {});
    ASSERT_EQ(scanned.status, AdvanceScanStatus::Found);
    ASSERT_EQ(scanned.fileSystemCount, 1);
    EXPECT_EQ(fileSystemItemText(state, 1), "File System 1 - FAT16");
    EXPECT_EQ(state.FolderNodeList.item(state.FolderNodeList.item(records::kRootItem).children.at(0)).text,
              "File System 1 - FAT16");

    ASSERT_EQ(openAdvanceFileSystem(state, 1, progress, {}), AnalysisStatus::Done);
    // The FAT copies were found before cluster 0, and the root after them.
    const partition::VolumeParameters& p = state.ActiveVolume.params;
    EXPECT_EQ(state.ActiveVolume.fileSystemName, "FAT16");
    EXPECT_EQ(p.firstFatStart, v.layout.fat1());
    EXPECT_EQ(p.secondFatStart, v.layout.fat1() + v.layout.sectorsPerFat);
    EXPECT_EQ(p.sectorsPerFat, v.layout.sectorsPerFat);
    EXPECT_EQ(p.rootStart, v.layout.root());
    EXPECT_EQ(p.rootSectors, 32u);
    EXPECT_EQ(p.cluster0Start, v.layout.cluster0());

    // Sub-folders are named when their parent is listed.
    for (int i = 0; i < state.FolderNodeList.count(); ++i) readFatFolderDirectory(state, i);
    const auto paths = folderPaths(state);
    EXPECT_TRUE(paths.count("DOCS"));
    EXPECT_TRUE(paths.count("DOCS/LETTERS"));
    EXPECT_TRUE(paths.count("PHOTOS"));
    EXPECT_TRUE(paths.count("QVX_Miscellaneous"));
    EXPECT_EQ(paths.size(), 5u) << "the orphan of cluster 7 goes under QVX_Miscellaneous";
    bool orphanPlaced = false;
    for (const auto& [path, deleted] : paths) orphanPlaced |= path.rfind("QVX_Miscellaneous/", 0) == 0;
    EXPECT_TRUE(orphanPlaced);

    records::FileList files;
    fillFatFileRows(state, files, 2, 0);
    std::erase_if(files, [](const records::FileListRow& r) { return r.isFolder; });
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].cells[records::kListName], "B.TXT");
}

TEST(AdvanceSearch, NothingIdentifiedInAnEmptyRange) {
    TestDisk disk(3000);
    RecoveryState state;
    state.reader->attachDevice(0, disk.sharedDevice());
    state.FileSystemKind = "FAT32";
    state.SectorRangeStart = 0;
    state.SectorRangeEnd = 2999;
    util::NullProgress progress;
    const AdvanceScanResult scanned = runAdvanceScan(state, progress, {});
    EXPECT_EQ(scanned.status, AdvanceScanStatus::NoneFound);
    EXPECT_EQ(openAdvanceFileSystem(state, 1, progress, {}), AnalysisStatus::Invalid);
    state.FileSystemKind = "FAT12";
    EXPECT_EQ(runAdvanceScan(state, progress, {}).status, AdvanceScanStatus::Unavailable);
}

TEST(AdvanceSearch, FatCopySearchStartsAtTheRangeWhenTheVolumeOpensTheDisk) {
    // A volume at sector 0: its FATs lie below sector 63.
    TestDisk disk(400);
    Fat16Layout layout;
    fat::test::writeFat16Boot(disk, layout);
    records::RecordTable systems = records::makeFileSystemTable();
    const int row = systems.appendRow("0");
    systems.setU64(row, 2, layout.spc);
    systems.setU64(row, 6, layout.cluster0());
    systems.setCell(row, 10, "FAT16");
    util::NullProgress progress;
    ASSERT_TRUE(scan::findFatCopies(disk.range(0, 399), 0, systems, row, progress, {}));
    EXPECT_EQ(systems.getU32(row, 7), layout.fat1());
    EXPECT_EQ(systems.getU32(row, 8), layout.fat1() + layout.sectorsPerFat);
    EXPECT_EQ(systems.getU32(row, 1), layout.sectorsPerFat);
    EXPECT_EQ(systems.getU32(row, 4), layout.root());

    // From a range that starts later, the search keeps its floor at 63 and
    // finds nothing below it.
    records::RecordTable later = records::makeFileSystemTable();
    const int r2 = later.appendRow("0");
    later.setU64(r2, 6, layout.cluster0());
    later.setCell(r2, 10, "FAT16");
    ASSERT_TRUE(scan::findFatCopies(disk.range(0, 399), 70, later, r2, progress, {}));
    EXPECT_EQ(later.cell(r2, 7), "");
    EXPECT_EQ(scan::fatFileSystemFromRow(later, r2).params.rootStart, 2u);
    EXPECT_EQ(scan::fatFileSystemFromRow(later, r2).params.rootSectors, 32u);
}

}  // namespace
}  // namespace qvx::engine

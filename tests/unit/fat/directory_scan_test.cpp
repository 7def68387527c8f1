#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fat/directory_scan.h"
#include "fat/folder_listing.h"
#include "records/tables.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::fat {
namespace {

using records::kDeleted;
using records::kName;
using records::kParent;
using records::kSelf;
using test::Fat16Layout;
using test::putDotEntries;
using test::putEntry;
using test::putNamedEntry;
using test::setFat16;
using test::TestDisk;

// A FAT16 volume with 2 sectors per cluster:
//   root: Documents (2), deleted _LD (4), BAD\x01 (5), README.TXT, archive.zip
//   2: Letters (3), a.txt     3: (empty)     4, 5: empty folders
//   7: a folder whose parent (99) is gone   8: "." names another cluster
class SmallVolume : public ::testing::Test {
protected:
    SmallVolume() : d(200) {
        l.spc = 2;
        l.rootEntries = 32;  // 2 root sectors
        test::writeFat16Boot(d, l);
        for (std::uint32_t c = 2; c <= 8; ++c) setFat16(d, l, c, 0xFFFF);

        std::uint8_t* root = d.sector(l.root());
        std::size_t i = putNamedEntry(root, 0, u"Documents", "DOCUME~1   ", 0x10, 2);
        putEntry(root + (++i) * 32, "\xE5LD        ", 0x10, 4);
        putEntry(root + (++i) * 32, "BAD\x01       ", 0x10, 5);
        putEntry(root + (++i) * 32, "README  TXT", 0x20, 6, 100, 0x3A67, 0x71C0);
        // The next entry ends this root sector only; sector 2 of the root is read too.
        std::uint8_t* root2 = d.sector(l.root() + 1);
        putNamedEntry(root2, 0, u"archive.zip", "ARCHIVE ZIP", 0x20, 9, 5000);

        std::uint8_t* c2 = d.sector(l.clusterLba(2));
        putDotEntries(c2, 2, 0, 0x3A67, 0x71C0);
        std::size_t j = putNamedEntry(c2, 2, u"Letters", "LETTERS    ", 0x10, 3);
        j = putNamedEntry(c2, j + 1, u"backup.zip", "BACKUP  ZIP", 0x20, 10, 77);
        // Entry 0 of the cluster's second sector ends the directory: the
        // file after it is not listed.
        putEntry(d.sector(l.clusterLba(2) + 1) + 32, "HIDDEN  TXT", 0x20, 11);
        putDotEntries(d.sector(l.clusterLba(3)), 3, 2);
        putDotEntries(d.sector(l.clusterLba(4)), 4, 0);
        putDotEntries(d.sector(l.clusterLba(5)), 5, 0);
        putDotEntries(d.sector(l.clusterLba(7)), 7, 99);
        putDotEntries(d.sector(l.clusterLba(8)), 20, 0);
        v = test::fat16Volume(d, l);
    }

    std::map<std::uint32_t, int> rowsBySelf() const {
        std::map<std::uint32_t, int> m;
        for (int r = 0; r < t.rowCount(); ++r) m[t.getU32(r, kSelf)] = r;
        return m;
    }

    TestDisk d;
    Fat16Layout l;
    FatVolume v;
    records::RecordTable t = records::makeFolderTable();
};

struct Counter : util::ProgressSink {
    std::string label, value;
    void setCounter(const std::string& l, const std::string& v) override { label = l, value = v; }
};

TEST_F(SmallVolume, ScanFindsEveryDirectoryClusterThatNamesItself) {
    Counter counter;
    ASSERT_TRUE(ScanDirectoryClusters(v, t, counter, {}));
    ASSERT_EQ(t.rowCount(), 6);
    EXPECT_EQ(t.cell(0, kName), "QVX_Miscellaneous");
    EXPECT_EQ(t.cell(0, kSelf), "268435455");
    EXPECT_EQ(t.cell(0, kParent), "0");
    EXPECT_EQ(t.cell(0, records::kAttr), "16");
    EXPECT_EQ(t.cell(0, records::kType), "FOLDER");
    EXPECT_EQ(t.cell(1, kName), "Dir1");
    EXPECT_EQ(t.getU32(1, records::kSector), l.clusterLba(2));
    EXPECT_EQ(t.cell(1, kSelf), "2");
    EXPECT_EQ(t.cell(1, kParent), "0");
    EXPECT_EQ(t.cell(1, records::kDate), std::to_string(0x3A67));
    EXPECT_EQ(t.cell(1, records::kTime), std::to_string(0x71C0));
    EXPECT_EQ(t.cell(1, records::kAttr), "16");
    EXPECT_EQ(t.cell(1, records::kSysId), "0");
    EXPECT_EQ(t.cell(5, kSelf), "7");
    EXPECT_EQ(counter.label, "Directories Found\t\t:");
    EXPECT_EQ(counter.value, "6");
}

TEST_F(SmallVolume, StandardSearchNamesTheFirstLevelAndAdoptsOrphans) {
    util::NullProgress quiet;
    ASSERT_TRUE(runFatStandardSearch(v, t, quiet, {}));
    auto rows = rowsBySelf();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(t.cell(rows[2], kName), "Documents");
    EXPECT_EQ(t.cell(rows[2], kDeleted), "");
    EXPECT_EQ(t.cell(rows[4], kName), "_LD");
    EXPECT_EQ(t.cell(rows[4], kDeleted), "1");
    EXPECT_EQ(t.cell(rows[5], kName).substr(0, 3), "Dir") << "an invalid name leaves the row unnamed";
    EXPECT_EQ(t.cell(rows[3], kName).substr(0, 3), "Dir") << "deeper levels are named when listed";
    EXPECT_EQ(t.cell(rows[3], kParent), "2");
    EXPECT_EQ(t.cell(rows[7], kParent), "268435455");
    EXPECT_EQ(t.cell(rows[0x0FFFFFFF], kParent), "0");
    for (int r = 1; r < t.rowCount(); ++r) EXPECT_LE(t.getU32(r - 1, kParent), t.getU32(r, kParent));
}

TEST_F(SmallVolume, SubfolderNamesComeFromTheFolderDirectory) {
    const auto names = readSubfolderNames(v, 2);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].self, 3u);
    EXPECT_EQ(names[0].name, "Letters");
    EXPECT_FALSE(names[0].deleted);
    EXPECT_TRUE(readSubfolderNames(v, kMiscellaneousId).empty());
    EXPECT_TRUE(readSubfolderNames(v, 0).empty());
}

TEST_F(SmallVolume, NameSubfoldersStopsAtTheEndOfTheDirectory) {
    int calls = 0;
    const SubfolderNameSink sink = [&](std::uint32_t, const std::string&, bool) { ++calls; };
    EXPECT_EQ(NameSubfoldersFromSector(v, l.clusterLba(2), 2, sink), 0);
    EXPECT_EQ(calls, 1);
    // A sector of sixteen used entries goes on to the next one.
    std::uint8_t* full = d.sector(l.clusterLba(5));
    for (int i = 2; i < 16; ++i) putEntry(full + i * 32, "FILE    TXT", 0x20, 12);
    EXPECT_EQ(NameSubfoldersFromSector(v, l.clusterLba(5), 5, sink), 1);
    EXPECT_EQ(calls, 1);
}

TEST_F(SmallVolume, Fat16RootListingReadsEveryRootSector) {
    records::FileList list;
    ListFatFiles(v, list, 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].cells[records::kListName], "README.TXT");
    EXPECT_EQ(list[0].cells[records::kListType], "Text file");
    EXPECT_EQ(list[0].cells[records::kListSize], "100");
    EXPECT_EQ(list[0].cells[records::kListDate], "07-MAR-2009");
    EXPECT_EQ(list[0].cells[records::kListTime], "14:14");
    EXPECT_EQ(list[0].cells[records::kListDebug1], "6");
    EXPECT_EQ(list[1].cells[records::kListName], "archive.zip");
    EXPECT_EQ(list[1].cells[records::kListType], "Winzip File");
}

TEST_F(SmallVolume, ChainedDirectoryListingStopsAtTheFirstFreeEntry) {
    records::FileList list;
    ListFatFiles(v, list, 2);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cells[records::kListName], "backup.zip");
    EXPECT_EQ(list[0].cells[records::kListType], "Compressed File");
    EXPECT_EQ(list[0].cells[records::kListSize], "77");
    list.clear();
    ListFatFiles(v, list, kMiscellaneousId);
    EXPECT_TRUE(list.empty());
}

TEST_F(SmallVolume, UnusableGeometryGivesAnEmptyResult) {
    v.params.sectorsPerCluster = 0;
    util::NullProgress quiet;
    EXPECT_FALSE(runFatStandardSearch(v, t, quiet, {}));
    EXPECT_EQ(t.rowCount(), 1);
    records::FileList list;
    ListFatFiles(v, list, 2);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(readSubfolderNames(v, 2).empty());
}

TEST_F(SmallVolume, LoopingDirectoryChainEnds) {
    setFat16(d, l, 2, 3);
    setFat16(d, l, 3, 2);
    records::FileList list;
    ListFatFiles(v, list, 3);
    EXPECT_LE(list.size(), 2u);
    EXPECT_LE(readSubfolderNames(v, 3).size(), 2u);
}

}  // namespace
}  // namespace qvx::fat

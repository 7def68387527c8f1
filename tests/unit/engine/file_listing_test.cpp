#include "engine/file_listing.h"

#include <gtest/gtest.h>

#include "records/tables.h"

namespace qvx::engine {
namespace {

using namespace records;

void addFile(ItemStore& items, const std::string& name, std::uint32_t self, std::uint32_t parent,
             std::uint64_t size, bool deleted = false) {
    Item item;
    item.sector = 1000 + 2 * self;
    item.record = self;
    item.parent = parent;
    item.fileNameTimes.created = 128'808'903'300'000'000LL;
    item.flags = kItemHasFileNameTimes;
    if (deleted) item.flags |= kItemDeleted;
    item.size = size;
    items.add(item, name);
}

class NtfsListing : public ::testing::Test {
protected:
    void SetUp() override {
        state.ActiveVolume.fileSystemName = "NTFS";
        auto& nodes = state.FolderNodeList;
        docs = nodes.AddFolderNode(kRootItem, "Docs", 64, 128'808'903'300'000'000LL, 0, 5, false);
        trash = nodes.AddFolderNode(kRootItem, "Trash", 70, 0, 0, 5, true);
        misc = nodes.AddFolderNode(kRootItem, "QVX_Miscellaneous", kMiscFolderId, 0, 0, 5, false);
        inner = nodes.AddFolderNode(trash, "Inner", 71, 0, 0, 70, false);
        addFile(state.items, "big.iso", 80, 64, 6000000000ull);
        addFile(state.items, "a.zip", 81, 5, 10);
        addFile(state.items, "gone.txt", 82, 64, 5, true);
        addFile(state.items, "orphan.doc", 83, kMiscFolderId, 7, true);
    }
    RecoveryState state;
    TreeItemId docs = kNoItem, trash = kNoItem, misc = kNoItem, inner = kNoItem;
};

TEST_F(NtfsListing, RootListsFoldersThenFilesWithTheirColumns) {
    const FileList list = PopulateFileList(state, kRootItem);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].cells[kListName], "Docs");
    EXPECT_EQ(list[0].cells[kListType], "FOLDER");
    EXPECT_EQ(list[0].cells[kListSize], "0");
    EXPECT_EQ(list[0].cells[kListDate], "7-MAR-2009");
    EXPECT_EQ(list[0].cells[kListTime], "9:5:30");
    EXPECT_EQ(list[0].cells[kListDebug1], "64");
    EXPECT_EQ(list[1].cells[kListType], "Deleted FOLDER");
    EXPECT_TRUE(list[1].deleted);
    // The synthetic folder shows its stored values here.
    EXPECT_EQ(list[2].cells[kListDate], "1-JAN-1601");
    EXPECT_EQ(list[3].cells[kListName], "a.zip");
    EXPECT_EQ(list[3].cells[kListType], "Winzip File");
    EXPECT_EQ(list[3].cells[kListDebug1], "1162");
    EXPECT_EQ(list[3].cells[kListDebug2], "5");
    EXPECT_EQ(list[3].cells[kListDebug3], "81");
}

TEST_F(NtfsListing, FilesKeepTableOrderSizesAndDeletedCells) {
    const FileList list = PopulateFileList(state, docs);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].cells[kListSize], "6000000000");
    EXPECT_EQ(list[0].sizeBytes, 6'000'000'000ull);
    EXPECT_EQ(list[0].cells[kListType], "Disk File");
    EXPECT_FALSE(list[0].deleted);
    EXPECT_EQ(list[1].cells[kListName], "gone.txt");
    EXPECT_TRUE(list[1].deleted);
}

TEST_F(NtfsListing, SubfoldersOfADeletedFolderShowDeleted) {
    const FileList list = PopulateFileList(state, trash);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cells[kListType], "Deleted FOLDER");
    EXPECT_TRUE(state.FolderNodeList.node(state.FolderNodeList.nodeOfItem(inner)).deleted);
}

TEST_F(NtfsListing, OrphanFilesAreListedUnderTheSyntheticFolder) {
    const FileList list = PopulateFileList(state, misc);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cells[kListName], "orphan.doc");
    EXPECT_EQ(list[0].parentId, kMiscFolderId);
}

TEST_F(NtfsListing, IndexedListingGivesTheSameRows) {
    const ListingIndex index(state);
    ListingOptions options;
    options.index = &index;
    for (TreeItemId item : {kRootItem, docs, trash, misc, inner}) {
        const FileList plain = PopulateFileList(state, item);
        const FileList indexed = PopulateFileList(state, item, options);
        ASSERT_EQ(plain.size(), indexed.size());
        for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain[i].cells, indexed[i].cells);
    }
}

TEST_F(NtfsListing, FileRowsMadeOneAtATimeAreTheRowsOfTheWholeList) {
    addFile(state.items, "kept.txt", 90, 70, 3);  // live, in a deleted folder: listed deleted
    addFile(state.items, "kept.txt:Zone.Identifier", 90, 70, 26);
    for (const bool shownCells : {true, false}) {
        for (TreeItemId item : {kRootItem, docs, trash, misc, inner}) {
            ListingOptions whole;
            whole.shownCells = shownCells;
            const FileList plain = PopulateFileList(state, item, whole);
            LaterFiles later;
            ListingOptions options = whole;
            options.later = &later;
            const FileList folders = PopulateFileList(state, item, options);
            ASSERT_EQ(folders.size() + later.items.size(), plain.size());
            for (std::size_t i = 0; i < plain.size(); ++i) {
                const FileListRow row =
                    i < folders.size() ? folders[i] : laterFileRow(state, later, i - folders.size(), options);
                EXPECT_EQ(row.cells, plain[i].cells) << i;
                EXPECT_EQ(row.deleted, plain[i].deleted) << i;
                EXPECT_EQ(row.isFolder, plain[i].isFolder);
                EXPECT_EQ(row.item, plain[i].item);
                EXPECT_EQ(row.sizeBytes, plain[i].sizeBytes);
                EXPECT_EQ(row.selfId, plain[i].selfId);
                EXPECT_EQ(row.times.created, plain[i].times.created);
            }
            if (item == trash) {
                ASSERT_EQ(later.items.size(), 2u);
                EXPECT_TRUE(later.insideDeleted);
                EXPECT_TRUE(laterFileRow(state, later, 0, options).deleted);
            }
        }
    }
}

TEST(FatListing, FolderRowsUseFatDateWords) {
    RecoveryState state;
    state.ActiveVolume.fileSystemName = "FAT32";
    state.FolderNodeList.AddFolderNode(kRootItem, "DOCS", 3, (29 << 9) | (3 << 5) | 7, (14 << 11) | (5 << 5), 0,
                                       false);
    const FileList list = PopulateFileList(state, kRootItem);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cells[kListDate], "07-MAR-2009");
    EXPECT_EQ(list[0].cells[kListTime], "14:05");
}

}  // namespace
}  // namespace qvx::engine

#include "records/folder_tree.h"

#include <gtest/gtest.h>

#include "records/lost_directories.h"
#include "records/tables.h"

namespace qvx::records {
namespace {

void addFolder(RecordTable& table, const std::string& name, std::uint32_t self, std::uint32_t parent,
               bool deleted = false) {
    const int row = table.appendRow(name);
    table.setU32(row, kSelf, self);
    table.setU32(row, kParent, parent);
    table.setCell(row, kDate, "0");
    table.setCell(row, kType, "FOLDER");
    if (deleted) table.setCell(row, kDeleted, "1");
}

std::vector<std::string> childTexts(const FolderNodeList& nodes, TreeItemId item) {
    std::vector<std::string> texts;
    for (TreeItemId child : nodes.item(item).children) texts.push_back(nodes.item(child).text);
    return texts;
}

TEST(AttachChildFolders, ReverseTableOrderOnceAndDirNamesForUnnamed) {
    RecordTable table = makeFolderTable();
    addFolder(table, "first", 20, 10);
    addFolder(table, "", 21, 10);
    addFolder(table, "third", 22, 10);
    addFolder(table, "other", 30, 11);
    FolderNodeList nodes;
    AttachChildFolders(table, nodes, 10, kRootItem);
    EXPECT_EQ(childTexts(nodes, kRootItem), (std::vector<std::string>{"third", "DIR_0", "first"}));
    EXPECT_EQ(table.rowCount(), 1);
    AttachChildFolders(table, nodes, 10, kRootItem);
    EXPECT_EQ(nodes.count(), 3);
    EXPECT_EQ(nodes.nextDirName(), "DIR_1");
}

TEST(BuildFolderTree, NtfsTreeWithOrphansAndTheSyntheticFolder) {
    RecordTable table = makeFolderTable();
    addFolder(table, "QVX_Miscellaneous", kMiscFolderId, 5);
    addFolder(table, ".", 5, 5);
    addFolder(table, "Docs", 64, 5);
    addFolder(table, "Reports", 65, 64);
    addFolder(table, "2009", 66, 65);
    addFolder(table, "Photos", 70, 5);
    addFolder(table, "Lost", 90, 77, true);     // parent record gone
    addFolder(table, "Inside", 91, 90, true);   // parent is the lost folder
    table.sortByColumn(kSelf);
    util::NullProgress progress;
    FindLostDirectories(VolumeKind::Ntfs, table, nullptr, progress);
    table.sortByColumn(kParent);
    FolderNodeList nodes;
    BuildFolderTree(VolumeKind::Ntfs, table, nodes, progress);

    EXPECT_EQ(table.rowCount(), 0);
    EXPECT_EQ(nodes.item(kRootItem).text, "Root");
    EXPECT_EQ(nodes.count(), 7);  // every folder but the root record
    std::vector<std::string> paths;
    for (const FolderNode& node : nodes.nodes()) paths.push_back(nodes.FolderPath(node.treeItem, "/"));
    for (const char* expected : {"Docs", "Docs/Reports", "Docs/Reports/2009", "Photos", "QVX_Miscellaneous",
                                 "QVX_Miscellaneous/Lost", "QVX_Miscellaneous/Lost/Inside"})
        EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
    EXPECT_EQ(nodes.FolderPath(nodes.node(nodes.count() - 1).treeItem), "QVX_Miscellaneous\\Lost\\Inside");
}

TEST(BuildFolderTree, FatFirstLevelIsParentZero) {
    RecordTable table = makeFolderTable();
    addFolder(table, "QVX_Miscellaneous", kMiscFolderId, 0);
    addFolder(table, "DOCS", 3, 0);
    addFolder(table, "SUB", 9, 3);
    table.setCell(2, kDate, "14951");  // 7 MAR 2009
    table.setCell(2, kTime, "28800");
    table.sortByColumn(kParent);
    FolderNodeList nodes;
    util::NullProgress progress;
    BuildFolderTree(VolumeKind::Fat32, table, nodes, progress);
    ASSERT_EQ(nodes.count(), 3);
    const FolderNode& sub = nodes.node(2);
    EXPECT_EQ(nodes.FolderPath(sub.treeItem, "/"), "DOCS/SUB");
    EXPECT_EQ(sub.dateValue, 14951);
    EXPECT_EQ(sub.timeValue, 28800);
}

TEST(FolderNodeList, CheckBoxesPropagateUpAndDown) {
    FolderNodeList nodes;
    const TreeItemId a = nodes.AddFolderNode(kRootItem, "a", 10, 0, 0, 5, false);
    const TreeItemId b = nodes.AddFolderNode(kRootItem, "b", 11, 0, 0, 5, false);
    const TreeItemId a1 = nodes.AddFolderNode(a, "a1", 12, 0, 0, 10, false);
    const TreeItemId a2 = nodes.AddFolderNode(a, "a2", 13, 0, 0, 10, false);

    nodes.ToggleCheck(a1);
    EXPECT_EQ(nodes.checkState(a1), CheckState::Checked);
    EXPECT_EQ(nodes.checkState(a), CheckState::Partial);
    EXPECT_EQ(nodes.checkState(kRootItem), CheckState::Partial);

    nodes.ToggleCheck(a2);
    EXPECT_EQ(nodes.checkState(a), CheckState::Checked);
    EXPECT_EQ(nodes.checkState(kRootItem), CheckState::Partial);  // b is unchecked

    nodes.ToggleCheck(b);
    EXPECT_EQ(nodes.checkState(kRootItem), CheckState::Checked);

    // A partly checked folder unchecks with all its descendants.
    nodes.ToggleCheck(a1);
    EXPECT_EQ(nodes.checkState(a), CheckState::Partial);
    nodes.ToggleCheck(a);
    EXPECT_EQ(nodes.checkState(a), CheckState::Unchecked);
    EXPECT_EQ(nodes.checkState(a2), CheckState::Unchecked);
    EXPECT_EQ(nodes.checkState(kRootItem), CheckState::Partial);
    nodes.ToggleCheck(b);
    EXPECT_EQ(nodes.checkState(kRootItem), CheckState::Unchecked);
}

TEST(FolderNodeList, ClearKeepsTheDirCounter) {
    FolderNodeList nodes;
    EXPECT_EQ(nodes.nextDirName(), "DIR_0");
    nodes.AddFolderNode(kRootItem, "x", 1, 0, 0, 0, false);
    nodes.clear();
    EXPECT_EQ(nodes.count(), 0);
    EXPECT_EQ(nodes.itemCount(), 1);
    EXPECT_EQ(nodes.nextDirName(), "DIR_1");
    EXPECT_EQ(nodes.FolderPath(kRootItem), "");
    EXPECT_EQ(nodes.nodeOfItem(99), -1);
}

}  // namespace
}  // namespace qvx::records

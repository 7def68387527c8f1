#include "records/lost_directories.h"

#include <gtest/gtest.h>

#include "records/tables.h"

namespace qvx::records {
namespace {

void addRow(RecordTable& table, std::uint32_t self, std::uint32_t parent) {
    const int row = table.appendRow("n" + std::to_string(self));
    table.setU32(row, kSelf, self);
    table.setU32(row, kParent, parent);
    table.setCell(row, kType, "FOLDER");
}

class RecordingProgress : public util::ProgressSink {
public:
    void setStatusText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

TEST(FindLostDirectories, NtfsMovesFoldersAndFilesWhoseParentIsMissing) {
    RecordTable folders = makeFolderTable();
    addRow(folders, kMiscFolderId, 5);
    addRow(folders, 5, 5);
    addRow(folders, 40, 5);
    addRow(folders, 41, 40);
    addRow(folders, 42, 99);            // parent missing
    addRow(folders, 43, 42);            // parent present, grandparent missing: stays
    addRow(folders, 44, kMiscFolderId);
    folders.sortByColumn(kSelf);
    RecordTable files = makeFileTable();
    addRow(files, 100, 41);
    addRow(files, 101, 98);             // parent missing
    addRow(files, 102, 5);
    RecordingProgress progress;
    FindLostDirectories(VolumeKind::Ntfs, folders, &files, progress);

    auto parentOf = [](const RecordTable& table, std::uint32_t self) {
        for (int row = 0; row < table.rowCount(); ++row)
            if (table.getU32(row, kSelf) == self) return table.getU32(row, kParent);
        return 0u;
    };
    EXPECT_EQ(parentOf(folders, 41), 40u);
    EXPECT_EQ(parentOf(folders, 42), kMiscFolderId);
    EXPECT_EQ(parentOf(folders, 43), 42u);
    EXPECT_EQ(parentOf(folders, 44), kMiscFolderId);
    EXPECT_EQ(parentOf(folders, kMiscFolderId), 5u);
    EXPECT_EQ(parentOf(files, 100), 41u);
    EXPECT_EQ(parentOf(files, 101), kMiscFolderId);
    EXPECT_EQ(parentOf(files, 102), 5u);
    ASSERT_FALSE(progress.texts.empty());
    EXPECT_EQ(progress.texts.back(), "Searching Lost Directories 6/7");
}

TEST(FindLostDirectories, FatRootIsZeroAndTheSyntheticRowAloneShowsNothing) {
    RecordTable folders = makeFolderTable();
    addRow(folders, kMiscFolderId, 0);
    RecordingProgress progress;
    FindLostDirectories(VolumeKind::Fat16, folders, nullptr, progress);
    EXPECT_TRUE(progress.texts.empty());
    EXPECT_EQ(folders.getU32(0, kParent), 0u);

    addRow(folders, 3, 0);
    addRow(folders, 7, 3);
    addRow(folders, 9, 8);
    folders.sortByColumn(kSelf);
    FindLostDirectories(VolumeKind::Fat32, folders, nullptr, progress);
    EXPECT_EQ(folders.getU32(0, kParent), 0u);   // 3
    EXPECT_EQ(folders.getU32(1, kParent), 3u);   // 7
    EXPECT_EQ(folders.getU32(2, kParent), kMiscFolderId);  // 9
}

}  // namespace
}  // namespace qvx::records

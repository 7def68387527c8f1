#include "records/lost_directories.h"

#include <gtest/gtest.h>

#include <map>

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

TEST(FindLostDirectories, NtfsParentLoopsGoUnderMiscellaneous) {
    RecordTable folders = makeFolderTable();
    addRow(folders, kMiscFolderId, 5);
    addRow(folders, 5, 5);
    addRow(folders, 40, 41);  // A's parent B,
    addRow(folders, 41, 40);  // B's parent A
    addRow(folders, 42, 40);  // below the loop
    addRow(folders, 50, 50);  // its own parent
    addRow(folders, 51, 50);
    addRow(folders, 60, 61);  // a longer loop 60 -> 61 -> 62 -> 60
    addRow(folders, 61, 62);
    addRow(folders, 62, 60);
    addRow(folders, 70, 5);   // a plain folder stays
    folders.sortByColumn(kSelf);
    RecordingProgress progress;
    FindLostDirectories(VolumeKind::Ntfs, folders, nullptr, progress);
    std::map<std::uint32_t, std::uint32_t> parent;
    for (int row = 0; row < folders.rowCount(); ++row) parent[folders.getU32(row, kSelf)] = folders.getU32(row, kParent);
    // Every folder now reaches the root, each loop cut at one folder.
    for (const auto& [self, p] : parent) {
        std::uint32_t at = self;
        int steps = 0;
        while (at != 5 && steps++ < 20) at = parent.count(at) ? parent[at] : 5;
        EXPECT_EQ(at, 5u) << self;
    }
    EXPECT_EQ(parent[50], kMiscFolderId);
    EXPECT_EQ(parent[51], 50u);
    EXPECT_EQ(parent[42], 40u);
    EXPECT_EQ(parent[70], 5u);
    EXPECT_EQ(parent[5], 5u);
    EXPECT_EQ((parent[40] == kMiscFolderId ? 1 : 0) + (parent[41] == kMiscFolderId ? 1 : 0), 1);
    int cut = 0;
    for (std::uint32_t s : {60u, 61u, 62u}) cut += parent[s] == kMiscFolderId ? 1 : 0;
    EXPECT_EQ(cut, 1);
}

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

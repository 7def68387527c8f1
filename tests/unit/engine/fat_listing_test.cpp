#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/analysis_job.h"
#include "engine/fat_listing.h"
#include "engine/file_listing.h"
#include "engine/volume_reader.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::engine {
namespace {

using fat::test::Fat16Layout;
using fat::test::putDotEntries;
using fat::test::putEntry;
using fat::test::putNamedEntry;
using fat::test::setFat16;
using fat::test::TestDisk;

// Root: Documents (2) and a deleted Old (4); Documents holds Letters (3) and
// report.doc; Old holds Inner (5).
class FatAnalysis : public ::testing::Test {
protected:
    FatAnalysis() : d(300) {
        fat::test::writeFat16Boot(d, l);
        for (std::uint32_t c = 2; c <= 8; ++c) setFat16(d, l, c, 0xFFFF);
        std::uint8_t* root = d.sector(l.root());
        std::size_t i = putNamedEntry(root, 0, u"Documents", "DOCUME~1   ", 0x10, 2);
        putEntry(root + (i + 1) * 32, "\xE5LD        ", 0x10, 4);
        putEntry(root + (i + 2) * 32, "TOP     TXT", 0x20, 7, 12, 0x3A67, 0x71C0);
        std::uint8_t* c2 = d.sector(l.clusterLba(2));
        putDotEntries(c2, 2, 0, 0x3A67, 0x71C0);
        std::size_t j = putNamedEntry(c2, 2, u"Letters", "LETTERS    ", 0x10, 3);
        putNamedEntry(c2, j + 1, u"report.doc", "REPORT  DOC", 0x20, 6, 2048);
        putDotEntries(d.sector(l.clusterLba(3)), 3, 2);
        putDotEntries(d.sector(l.clusterLba(4)), 4, 0);
        putEntry(d.sector(l.clusterLba(4)) + 64, "INNER      ", 0x10, 5);
        putDotEntries(d.sector(l.clusterLba(5)), 5, 4);

        state.reader->attachDevice(0, d.sharedDevice());
        state.SelectedDisk = 0;
        state.FileSystemKind = "FAT16";
        state.SectorRangeStart = 0;
        state.SectorRangeEnd = d.sectors() - 1;
    }

    int nodeNamed(const std::string& name) const {
        for (int i = 0; i < state.FolderNodeList.count(); ++i)
            if (state.FolderNodeList.node(i).name == name) return i;
        return -1;
    }

    void analyse() {
        util::NullProgress quiet;
        ASSERT_EQ(validateSelectedVolume(state, quiet), 1);
        ASSERT_EQ(runStandardSearch(state, quiet, {}), AnalysisStatus::Done);
    }

    TestDisk d;
    Fat16Layout l;
    RecoveryState state;
};

TEST_F(FatAnalysis, FirstLevelIsNamedAndDeeperLevelsWhenListed) {
    analyse();
    const int docs = nodeNamed("Documents");
    ASSERT_GE(docs, 0);
    ASSERT_GE(nodeNamed("_LD"), 0);
    EXPECT_TRUE(state.FolderNodeList.node(nodeNamed("_LD")).deleted);
    EXPECT_EQ(nodeNamed("Letters"), -1) << "named only when Documents is read";

    readFatFolderDirectory(state, docs);
    EXPECT_TRUE(state.FolderNodeList.node(docs).expanded);
    const int letters = nodeNamed("Letters");
    ASSERT_GE(letters, 0);
    EXPECT_EQ(state.FolderNodeList.item(state.FolderNodeList.node(letters).treeItem).text, "Letters");

    const records::FileList rows = PopulateFileList(state, state.FolderNodeList.node(docs).treeItem);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].isFolder);
    EXPECT_EQ(rows[0].cells[records::kListName], "Letters");
    EXPECT_EQ(rows[1].cells[records::kListName], "report.doc");
    EXPECT_EQ(rows[1].cells[records::kListType], "Microsoft Word File");
    EXPECT_EQ(rows[1].cells[records::kListSize], "2048");
}

/// The rows as text: what a listing shows and where each entry lies.
std::vector<std::string> rowTexts(const records::FileList& rows) {
    std::vector<std::string> out;
    for (const records::FileListRow& r : rows)
        out.push_back(r.cells[records::kListName] + "|" + r.cells[records::kListType] + "|" + r.cells[records::kListSize] +
                      "|" + std::to_string(r.entrySector) + ":" + std::to_string(r.entryOffset) + "|" +
                      std::to_string(r.times.modified) + (r.deleted ? "|deleted" : ""));
    return out;
}

TEST_F(FatAnalysis, AFolderOpenedByTheListingReaderIsReadOnceForItsNamesAndItsRows) {
    // Documents runs on into cluster 9, which cannot be read.
    setFat16(d, l, 2, 9);
    setFat16(d, l, 9, 0xFFFF);
    d.device().badSectors = {l.clusterLba(9)};
    analyse();
    const int docs = nodeNamed("Documents");
    ASSERT_GE(docs, 0);
    const records::TreeItemId item = state.FolderNodeList.node(docs).treeItem;

    // As the window lists a folder: opened, then listed, each reading it.
    state.diagnostics.clear();
    readFatFolderDirectory(state, docs);
    const std::vector<std::string> rows = rowTexts(PopulateFileList(state, item));
    ASSERT_EQ(rows.size(), 2u);
    const std::uint64_t unreadable = state.diagnostics.count(util::Problem::UnreadableSectors);
    EXPECT_EQ(unreadable, 1u) << "recorded by the read for the rows";

    // Through one reader the rows come from what opening read, with the
    // problems it met recorded once.
    state.diagnostics.clear();
    const std::unique_ptr<VolumeReader> reader = volumeReaderFor(state);
    ListingOptions options;
    options.reader = reader.get();
    reader->openFolder(state, docs, nullptr);
    const int readsBefore = d.device().readCalls.load();
    EXPECT_EQ(rowTexts(PopulateFileList(state, item, options)), rows);
    EXPECT_EQ(d.device().readCalls.load(), readsBefore);
    EXPECT_EQ(state.diagnostics.count(util::Problem::UnreadableSectors), unreadable);
    EXPECT_GE(nodeNamed("Letters"), 0);

    // What was kept serves once, and only the folder it was read for.
    EXPECT_EQ(rowTexts(PopulateFileList(state, item, options)), rows);
    EXPECT_GT(d.device().readCalls.load(), readsBefore);
    const int letters = nodeNamed("Letters");
    ASSERT_GE(letters, 0);
    reader->openFolder(state, letters, nullptr);
    const int readsThen = d.device().readCalls.load();
    EXPECT_EQ(rowTexts(PopulateFileList(state, item, options)), rows);
    EXPECT_GT(d.device().readCalls.load(), readsThen);
}

TEST_F(FatAnalysis, RootListsFoldersAndRootFilesMiscellaneousNothingFromDisk) {
    analyse();
    const records::FileList root = PopulateFileList(state, records::kRootItem);
    int files = 0;
    for (const auto& row : root) {
        if (!row.isFolder) {
            ++files;
            EXPECT_EQ(row.cells[records::kListName], "TOP.TXT");
            EXPECT_EQ(row.cells[records::kListDate], "07-MAR-2009");
            EXPECT_EQ(row.cells[records::kListTime], "14:14");
        }
    }
    EXPECT_EQ(files, 1);
    const int misc = nodeNamed("QVX_Miscellaneous");
    ASSERT_GE(misc, 0);
    readFatFolderDirectory(state, misc);
    EXPECT_TRUE(PopulateFileList(state, state.FolderNodeList.node(misc).treeItem).empty());
}

TEST_F(FatAnalysis, SubFoldersOfADeletedFolderAreListedDeleted) {
    analyse();
    const int old = nodeNamed("_LD");
    readFatFolderDirectory(state, old);
    const records::FileList rows = PopulateFileList(state, state.FolderNodeList.node(old).treeItem);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cells[records::kListName], "INNER");
    EXPECT_EQ(rows[0].cells[records::kListType], "Deleted FOLDER");
}

TEST_F(FatAnalysis, ZeroedBootSectorIsRebuiltFromDirectoryClusters) {
    std::memset(d.sector(0), 0, 512);
    util::NullProgress quiet;
    EXPECT_EQ(validateSelectedVolume(state, quiet), 0);
    EXPECT_FALSE(state.FatParametersValid);
    ASSERT_EQ(runStandardSearch(state, quiet, {}), AnalysisStatus::Done);
    EXPECT_EQ(state.ActiveVolume.params.cluster0Start, l.cluster0());
    EXPECT_EQ(state.ActiveVolume.params.sectorsPerCluster, 1u);
    EXPECT_GE(nodeNamed("Documents"), 0);
}

}  // namespace
}  // namespace qvx::engine

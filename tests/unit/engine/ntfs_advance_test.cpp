#include "engine/ntfs_advance.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "engine/data_condition.h"
#include "engine/file_listing.h"
#include "unit/scan/ntfs_image_builder.h"

namespace qvx::engine {
namespace {

using scan::test::Image;
using scan::test::SampleVolume;

class Recorder : public util::ProgressSink {
public:
    void setHelpText(const std::string& text) override { help = text; }
    void showMessage(const std::string& text, util::MessageKind) override { messages.push_back(text); }
    std::string help;
    std::vector<std::string> messages;
};

RecoveryState stateFor(const Image& image, std::uint64_t first, std::uint64_t last) {
    RecoveryState state;
    state.reader = image.reader();
    state.searchMode = SearchMode::Advance;
    state.FileSystemKind = "NTFS";
    state.SectorRangeStart = first;
    state.SectorRangeEnd = last;
    return state;
}

/// Folder paths of the tree ("Docs\Sub") to the node.
std::map<std::string, const records::FolderNode*> folderPaths(const RecoveryState& state) {
    std::map<std::string, const records::FolderNode*> paths;
    for (const records::FolderNode& node : state.FolderNodeList.nodes())
        paths[state.FolderNodeList.FolderPath(node.treeItem)] = &node;
    return paths;
}

TEST(NtfsAdvance, ZeroedBootSectorsStillGiveTheWholeTree) {
    Image image(6000);
    SampleVolume{1000}.write(image, false);
    RecoveryState state = stateFor(image, 0, image.sectors() - 1);
    Recorder progress;
    ASSERT_EQ(runNtfsAdvanceScan(state, progress, {}), AnalysisStatus::Done);
    ASSERT_EQ(state.tables.FileSystemTable.rowCount(), 1);
    EXPECT_NE(progress.help.find("proceed with next button"), std::string::npos);

    ASSERT_EQ(openNtfsFileSystem(state, 1, progress, {}), AnalysisStatus::Done);
    EXPECT_EQ(state.ActiveVolume.fileSystemName, "NTFS");
    EXPECT_EQ(state.ActiveVolume.params.cluster0Start, 1000u);
    EXPECT_EQ(state.ActiveVolume.params.sectorsPerCluster, 8u);

    const auto paths = folderPaths(state);
    ASSERT_TRUE(paths.count("Docs"));
    ASSERT_TRUE(paths.count("Empty"));
    ASSERT_TRUE(paths.count("Docs\\Sub"));
    EXPECT_TRUE(paths.count("QVX_Miscellaneous"));
    EXPECT_EQ(paths.at("Docs\\Sub")->selfId, 66u);

    // Files are listed under their folders with their sizes.
    std::map<std::string, std::pair<std::string, std::string>> files;  // name -> (parent, size)
    for (std::size_t i = 0; i < state.items.size(); ++i)
        files[std::string(state.items.name(i))] = {std::to_string(state.items[i].parent),
                                                   std::to_string(state.items[i].size)};
    EXPECT_EQ(files["a.txt"], std::make_pair(std::string("5"), std::string("11")));
    EXPECT_EQ(files["b.doc"], std::make_pair(std::string("64"), std::string("22")));
    EXPECT_EQ(files["c.bin"], std::make_pair(std::string("66"), std::string("33")));

    const records::FileList list = PopulateFileList(state, paths.at("Docs\\Sub")->treeItem);
    bool listed = false;
    for (const records::FileListRow& row : list) listed |= row.cells[0] == "c.bin";
    EXPECT_TRUE(listed);
}

TEST(NtfsAdvance, AFileWhoseFolderWasNotFoundIsListedUnderMiscellaneous) {
    Image image(6000);
    SampleVolume{1000}.write(image, false);
    // Record 74 names folder record 90, which the scan never sees.
    image.place(1000 + SampleVolume::kMftSector + 2 * 74, scan::test::fileRecord(74, "stray.txt", 90, 55));
    RecoveryState state = stateFor(image, 0, image.sectors() - 1);
    Recorder progress;
    ASSERT_EQ(runNtfsAdvanceScan(state, progress, {}), AnalysisStatus::Done);
    ASSERT_EQ(openNtfsFileSystem(state, 1, progress, {}), AnalysisStatus::Done);
    std::map<std::string, std::uint64_t> parents;
    for (std::size_t i = 0; i < state.items.size(); ++i) parents[state.items.name(i)] = state.items[i].parent;
    EXPECT_EQ(parents["stray.txt"], records::kMiscFolderId);
    EXPECT_EQ(parents["b.doc"], 64u);
    const auto paths = folderPaths(state);
    ASSERT_TRUE(paths.count("QVX_Miscellaneous"));
    bool listed = false;
    for (const records::FileListRow& row : PopulateFileList(state, paths.at("QVX_Miscellaneous")->treeItem))
        listed |= row.cells[0] == "stray.txt";
    EXPECT_TRUE(listed);
    // Rows whose record's sector is unknown ask for the MFT's runs; a range
    // without them is looked at once.
    for (const records::FileListRow& row : PopulateFileList(state, paths.at("Docs")->treeItem)) (void)rowProvenance(state, row);
    EXPECT_TRUE(state.mftRunTable.buildTried());
}

TEST(NtfsAdvance, AnEmptyRangeFindsNothing) {
    Image image(4096);
    RecoveryState state = stateFor(image, 0, 4095);
    Recorder progress;
    EXPECT_EQ(runNtfsAdvanceScan(state, progress, {}), AnalysisStatus::NothingFound);
    EXPECT_EQ(progress.help, "No File System could be identified. Click on 'Back' button to select another Partition.");
    EXPECT_EQ(openNtfsFileSystem(state, 1, progress, {}), AnalysisStatus::Invalid);
}

TEST(NtfsAdvance, AStoppedScanIsStillAnalysed) {
    Image image(6000);
    SampleVolume{1000}.write(image);
    RecoveryState state = stateFor(image, 0, image.sectors() - 1);
    Recorder progress;
    std::stop_source source;
    source.request_stop();
    EXPECT_EQ(runNtfsAdvanceScan(state, progress, source.get_token()), AnalysisStatus::Stopped);
    EXPECT_TRUE(state.tables.ntfsScan.mft.empty());
}

TEST(NtfsAdvance, DeletedFoldersStayMarkedDeleted) {
    Image image(6000);
    SampleVolume{1000}.write(image);
    image.place(1000 + 32 + 2 * 66, scan::test::folderRecord(66, "Sub", 64, 660, 0, 2));
    RecoveryState state = stateFor(image, 0, image.sectors() - 1);
    Recorder progress;
    ASSERT_EQ(runNtfsAdvanceScan(state, progress, {}), AnalysisStatus::Done);
    ASSERT_EQ(openNtfsFileSystem(state, 1, progress, {}), AnalysisStatus::Done);
    const auto paths = folderPaths(state);
    ASSERT_TRUE(paths.count("Docs\\Sub"));
    EXPECT_TRUE(paths.at("Docs\\Sub")->deleted);
    EXPECT_FALSE(paths.at("Docs")->deleted);
}

TEST(NtfsAdvance, FoldersFoundTwiceAppearOnce) {
    Image image(8192);
    SampleVolume{1000}.write(image);
    // A stale copy of the Docs record elsewhere in the range.
    image.place(5000, scan::test::folderRecord(64, "Docs", 5, 640, 120));
    RecoveryState state = stateFor(image, 0, image.sectors() - 1);
    Recorder progress;
    ASSERT_EQ(runNtfsAdvanceScan(state, progress, {}), AnalysisStatus::Done);
    ASSERT_EQ(openNtfsFileSystem(state, 1, progress, {}), AnalysisStatus::Done);
    int docs = 0;
    for (const records::FolderNode& node : state.FolderNodeList.nodes()) docs += node.name == "Docs";
    EXPECT_EQ(docs, 1);
}

}  // namespace
}  // namespace qvx::engine

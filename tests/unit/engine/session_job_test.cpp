#include "engine/session_job.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "records/tables.h"
#include "support/gpt_disk.h"

namespace qvx::engine {
namespace {

class RecordingProgress : public util::ProgressSink {
public:
    void showMessage(const std::string& text, util::MessageKind kind) override {
        messages.push_back(text);
        kinds.push_back(kind);
    }
    std::vector<std::string> messages;
    std::vector<util::MessageKind> kinds;
};

/// A finished NTFS analysis: misc folder, two folders under the root, one
/// of them deleted with a child, and two files.
void fillNtfsResult(RecoveryState& state) {
    state.FileSystemKind = "NTFS";
    state.SectorRangeStart = 2048;
    state.SectorRangeEnd = 206847;
    state.VolumeParameters.mftStart = 2048 + 32;
    state.VolumeParameters.sectorsPerCluster = 8;
    state.ActiveVolume.params = state.VolumeParameters;
    state.ActiveVolume.fileSystemName = "NTFS";
    records::RecordTable& t = state.tables.FolderTable;
    auto folder = [&](const char* name, std::uint32_t self, std::uint32_t parent, bool deleted) {
        const int row = t.appendRow(name);
        t.setU32(row, records::kSelf, self);
        t.setU32(row, records::kParent, parent);
        t.setCell(row, records::kDate, "131000000000000000");
        t.setCell(row, records::kType, "FOLDER");
        if (deleted) t.setCell(row, records::kDeleted, "1");
    };
    folder(records::kMiscFolderName, records::kMiscFolderId, records::kMiscFolderId, false);
    folder("Docs", 64, 5, false);
    folder("Old", 65, 5, true);
    folder("Inner", 66, 65, false);
    t.sortByColumn(records::kParent);
    util::NullProgress quiet;
    records::BuildFolderTree(records::VolumeKind::Ntfs, t, state.FolderNodeList, quiet);
    for (const char* name : {"a.txt", "b.doc"}) {
        records::Item item;
        item.sector = 4096;
        item.record = 70;
        item.parent = 64;
        item.fileNameTimes.created = 131000000000000001;
        item.flags = records::kItemHasFileNameTimes;
        item.size = 1234;
        state.items.add(item, name);
    }
}

std::vector<std::uint8_t> savedBytes(const RecoveryState& state, const std::string& model) {
    return session::encodeSession(
        session::captureSession(sessionHeaderOf(state, model, 1), state.FolderNodeList, state.items));
}

/// A state with its own result, so that an untouched state can be told apart.
RecoveryState sentinelState() {
    RecoveryState state;
    state.FileSystemKind = "FAT16";
    state.ActiveVolume.fileSystemName = "FAT16";
    state.SectorRangeStart = 63;
    state.searchMode = SearchMode::Advance;
    state.FolderNodeList.AddFolderNode(records::kRootItem, "keep", 9, 0, 0, 0, false);
    state.items.add(records::Item{}, "keep.txt");
    return state;
}

void expectUntouched(const RecoveryState& state) {
    EXPECT_EQ(state.FileSystemKind, "FAT16");
    EXPECT_EQ(state.ActiveVolume.fileSystemName, "FAT16");
    EXPECT_EQ(state.SectorRangeStart, 63u);
    EXPECT_EQ(state.searchMode, SearchMode::Advance);
    ASSERT_EQ(state.FolderNodeList.count(), 1);
    EXPECT_EQ(state.FolderNodeList.node(0).name, "keep");
    ASSERT_EQ(state.items.size(), 1u);
}

TEST(SessionJob, LoadRestoresTreeTablesAndParameters) {
    RecoveryState analysed;
    fillNtfsResult(analysed);
    const auto bytes = savedBytes(analysed, "Disk Image ntfs.img");

    RecoveryState state = sentinelState();
    RecordingProgress progress;
    const SessionLoadResult result = loadSession(state, bytes, "Disk Image ntfs.img", progress);
    ASSERT_EQ(result.status, SessionLoadStatus::Loaded) << result.reason;
    EXPECT_TRUE(progress.messages.empty());
    EXPECT_EQ(result.selectedPartition, 1);
    EXPECT_EQ(state.searchMode, SearchMode::Standard);
    EXPECT_EQ(state.FileSystemKind, "NTFS");
    EXPECT_EQ(state.SectorRangeStart, 2048u);
    EXPECT_EQ(state.SectorRangeEnd, 206847u);
    EXPECT_EQ(state.ActiveVolume.params.mftStart, 2080u);
    EXPECT_EQ(state.VolumeParameters.sectorsPerCluster, 8u);
    ASSERT_EQ(state.FolderNodeList.count(), analysed.FolderNodeList.count());
    for (int i = 0; i < state.FolderNodeList.count(); ++i) {
        EXPECT_EQ(state.FolderNodeList.node(i).name, analysed.FolderNodeList.node(i).name);
        EXPECT_EQ(state.FolderNodeList.node(i).selfId, analysed.FolderNodeList.node(i).selfId);
        EXPECT_EQ(state.FolderNodeList.node(i).deleted, analysed.FolderNodeList.node(i).deleted);
        EXPECT_EQ(state.FolderNodeList.node(i).dateValue, analysed.FolderNodeList.node(i).dateValue);
    }
    EXPECT_EQ(state.tables.FolderTable.rowCount(), 0);
    ASSERT_EQ(state.items.size(), 2u);
    EXPECT_EQ(state.items.name(1), "b.doc");
    EXPECT_EQ(state.items[1].parent, 64u);
    EXPECT_FALSE(state.items[1].deleted());
}

TEST(SessionJob, ModelTextMustMatchExactly) {
    RecoveryState analysed;
    fillNtfsResult(analysed);
    const auto bytes = savedBytes(analysed, "Disk Image ntfs.img");
    for (const char* other : {"Disk Image ntfs.imh", "disk Image ntfs.img", "Disk Image ntfs.img ", "Disk Image ntfs.im"}) {
        RecoveryState state = sentinelState();
        RecordingProgress progress;
        EXPECT_EQ(loadSession(state, bytes, other, progress).status, SessionLoadStatus::Refused) << other;
        ASSERT_EQ(progress.messages.size(), 1u);
        EXPECT_EQ(progress.messages[0], session::kLoadFailedMessage);
        EXPECT_EQ(progress.kinds[0], util::MessageKind::Error);
        expectUntouched(state);
    }
}

TEST(SessionJob, LongModelTextIsComparedOnItsFirst49Characters) {
    RecoveryState analysed;
    fillNtfsResult(analysed);
    const std::string model = "Disk Image " + std::string(60, 'q') + ".img";
    const auto bytes = savedBytes(analysed, model);
    RecoveryState state;
    RecordingProgress progress;
    EXPECT_EQ(loadSession(state, bytes, model, progress).status, SessionLoadStatus::Loaded);
    RecoveryState other;
    EXPECT_EQ(loadSession(other, bytes, model.substr(0, 48), progress).status, SessionLoadStatus::Refused);
}

TEST(SessionJob, DamagedLogLeavesTheStateUntouched) {
    RecoveryState analysed;
    fillNtfsResult(analysed);
    auto bytes = savedBytes(analysed, "M");
    for (std::size_t cut : {bytes.size() - 1, bytes.size() - 40, std::size_t{30}}) {
        RecoveryState state = sentinelState();
        RecordingProgress progress;
        EXPECT_EQ(loadSession(state, std::span(bytes.data(), cut), "M", progress).status, SessionLoadStatus::Refused);
        EXPECT_EQ(progress.messages.size(), 1u);
        expectUntouched(state);
    }
}

TEST(SessionJob, StopBeforeCommitLeavesTheStateUntouched) {
    RecoveryState analysed;
    fillNtfsResult(analysed);
    const auto bytes = savedBytes(analysed, "M");
    RecoveryState state = sentinelState();
    std::stop_source stop;
    stop.request_stop();
    util::NullProgress progress;
    EXPECT_EQ(loadSession(state, bytes, "M", progress, stop.get_token()).status, SessionLoadStatus::Stopped);
    expectUntouched(state);
}

TEST(SessionJob, HeaderRecordsModeCriterionAndDisk) {
    RecoveryState state;
    fillNtfsResult(state);
    state.SelectedDisk = 3;
    session::SessionHeader h = sessionHeaderOf(state, "M", 2);
    EXPECT_EQ(h.searchMode, 1);
    EXPECT_EQ(h.searchCriterion, "Standard Search ");
    EXPECT_EQ(h.selectedDisk, 3);
    EXPECT_EQ(h.analysisDisk, 3);
    EXPECT_EQ(h.selectedPartition, 2);
    state.searchMode = SearchMode::Advance;
    h = sessionHeaderOf(state, "M", 0);
    EXPECT_EQ(h.searchMode, 2);
    EXPECT_EQ(h.searchCriterion, "Advance Search");
}

TEST(SessionJob, FourKnDiskLogHoldsTheDisksOwnSectors) {
    std::vector<std::uint8_t> image(64 * 1024, 0);
    std::memcpy(image.data() + 4096, "EFI PART", 8);  // a GPT counted in 4096-byte sectors
    auto device = std::make_shared<disk::MemoryDevice>(image);
    RecoveryState state;
    state.reader->attachDevice(0, device);
    fillNtfsResult(state);
    const session::SessionHeader h = sessionHeaderOf(state, "M", 1);
    EXPECT_EQ(h.sectorRangeStart, 256u);
    EXPECT_EQ(h.sectorRangeEnd, 206848u / 8 - 1);
    EXPECT_EQ(h.volumeParameters.mftStart, 260u);
    EXPECT_EQ(h.volumeParameters.sectorsPerCluster, 1u);
    const session::SessionContent c =
        session::captureSession(h, state.FolderNodeList, state.items, state.reader->sectorUnits(0));
    EXPECT_EQ(c.files[0].sector, 512u);

    RecoveryState loaded;
    loaded.reader->attachDevice(0, device);
    util::NullProgress progress;
    const std::vector<std::uint8_t> bytes = session::encodeSession(c);
    ASSERT_EQ(loadSession(loaded, bytes, "M", progress, {}).status, SessionLoadStatus::Loaded);
    EXPECT_EQ(loaded.SectorRangeStart, 2048u);
    EXPECT_EQ(loaded.SectorRangeEnd, 206847u);
    EXPECT_EQ(loaded.VolumeParameters.mftStart, 2048u + 32);
    EXPECT_EQ(loaded.ActiveVolume.params.sectorsPerCluster, 8u);
    ASSERT_GT(loaded.items.size(), 0u);
    EXPECT_EQ(loaded.items[0].sector, 4096u);
}

TEST(SessionJob, PositionsPast32BitsAreReadAgainFromTheBootSector) {
    const std::uint64_t start = (1ull << 32) + 2048;
    auto device = std::make_shared<test::SparseDevice>(0x180000000ull);  // 3 TiB
    std::uint8_t* boot = device->sector(start);
    std::memcpy(boot + 3, "NTFS    ", 8);
    boot[13] = 8;
    boot[48] = 4;
    boot[56] = 200;
    boot[64] = 0xF6;
    boot[68] = 0xF4;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    std::memcpy(device->sector(start + 32), "FILE", 4);
    std::memcpy(device->sector(start + 1600), "FILE", 4);

    RecoveryState state;
    state.reader->attachDevice(0, device);
    fillNtfsResult(state);
    state.SectorRangeStart = start;
    state.SectorRangeEnd = start + 32767;
    ASSERT_EQ(partition::validateNtfsVolume(state.volumeRange(), state.VolumeParameters), 1);
    state.ActiveVolume.params = state.VolumeParameters;
    const std::vector<std::uint8_t> bytes = savedBytes(state, "M");
    const auto decoded = session::decodeSession(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->header.activeParameters.mftStart, 0xFFFFFFFFu);
    EXPECT_EQ(decoded->header.sectorRangeStart, start);

    RecoveryState loaded;
    loaded.reader->attachDevice(0, device);
    util::NullProgress progress;
    ASSERT_EQ(loadSession(loaded, bytes, "M", progress, {}).status, SessionLoadStatus::Loaded);
    EXPECT_EQ(loaded.SectorRangeStart, start);
    EXPECT_EQ(loaded.ActiveVolume.params.mftStart, start + 32);
    EXPECT_EQ(loaded.ActiveVolume.params.mftMirrorStart, start + 1600);
    EXPECT_EQ(loaded.VolumeParameters.cluster0Start, start);
}

}  // namespace
}  // namespace qvx::engine

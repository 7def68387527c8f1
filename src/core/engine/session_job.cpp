#include "engine/session_job.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "partition/partition_search.h"
#include "records/folder_tree.h"
#include "records/tables.h"

namespace qvx::engine {

namespace {

constexpr const char* kHelpWait = "Please wait...";
constexpr const char* kHelpLoaded =
    "Select Files and Folders from left Panel Directories' Tree and Click on 'Save' button in Toolbar to save "
    "recovered Files and Folders.";
constexpr const char* kLoadingLabel = "Loading tree, Please Wait...";

SessionLoadResult refuse(util::ProgressSink& progress, std::string reason) {
    progress.setStatusText("");
    progress.showMessage(session::kLoadFailedMessage, util::MessageKind::Error);
    progress.setHelpText(partition::kSearchStoppedHelp);
    SessionLoadResult result;
    result.status = SessionLoadStatus::Refused;
    result.reason = std::move(reason);
    return result;
}

/// 512-byte sectors per logical sector of the state's disk.
std::uint32_t unitsOf(const RecoveryState& state) {
    return state.reader ? std::max<std::uint32_t>(1, state.reader->sectorUnits(state.SelectedDisk)) : 1;
}

/// A position or count in 512-byte sectors as the disk's own sectors
/// (toDisk), or back. A saturated field (0xFFFFFFFF) stays as it is: it says
/// only that the true value lies beyond 32 bits.
std::uint64_t scaled(std::uint64_t value, std::uint32_t units, bool toDisk) {
    if (units == 1) return value;
    if (toDisk) return value / units;
    return value >= UINT32_MAX ? value : value * units;
}

std::uint32_t scaled32(std::uint32_t value, std::uint32_t units, bool toDisk) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(scaled(value, units, toDisk), UINT32_MAX));
}

/// Every sector field of p in the disk's own sectors, or back; FAT32 keeps
/// its root cluster in rootStart, which is no sector.
partition::VolumeParameters scaledParameters(partition::VolumeParameters p, std::uint32_t units, bool toDisk,
                                             bool fat32) {
    if (units == 1) return p;
    p.sectorsPerFat = scaled32(p.sectorsPerFat, units, toDisk);
    p.sectorsPerCluster = scaled32(p.sectorsPerCluster, units, toDisk);
    p.rootSectors = scaled32(p.rootSectors, units, toDisk);
    if (!fat32) p.rootStart = scaled(p.rootStart, units, toDisk);
    p.reservedSectors = scaled32(p.reservedSectors, units, toDisk);
    p.cluster0Start = scaled(p.cluster0Start, units, toDisk);
    p.firstFatStart = scaled(p.firstFatStart, units, toDisk);
    p.secondFatStart = scaled(p.secondFatStart, units, toDisk);
    p.mftStart = scaled(p.mftStart, units, toDisk);
    p.mftMirrorStart = scaled(p.mftMirrorStart, units, toDisk);
    p.sectorsPerMftRecord = scaled32(p.sectorsPerMftRecord, units, toDisk);
    p.sectorsPerIndexRecord = scaled32(p.sectorsPerIndexRecord, units, toDisk);
    return p;
}

bool saturatedPosition(const partition::VolumeParameters& p) {
    for (std::uint64_t v : {p.rootStart, p.cluster0Start, p.firstFatStart, p.secondFatStart, p.mftStart,
                            p.mftMirrorStart})
        if (v >= UINT32_MAX) return true;
    return false;
}

}  // namespace

session::SessionHeader sessionHeaderOf(const RecoveryState& state, const std::string& diskModelText,
                                       int selectedPartition) {
    session::SessionHeader h;
    h.diskModelText = diskModelText;
    const bool advance = state.searchMode == SearchMode::Advance;
    h.searchMode = advance ? 2 : 1;
    h.selectedDisk = static_cast<std::uint8_t>(state.SelectedDisk);
    h.analysisDisk = static_cast<std::uint8_t>(state.SelectedDisk);
    h.selectedPartition = static_cast<std::uint8_t>(selectedPartition);
    h.fileSystemKind = state.FileSystemKind;
    h.searchCriterion = advance ? session::kAdvanceCriterion : session::kStandardCriterion;
    // The log holds the disk's own sector numbers (4096-byte sectors on a
    // 4Kn disk), as every other output does.
    const std::uint32_t units = unitsOf(state);
    h.sectorRangeStart = state.SectorRangeStart / units;
    h.sectorRangeEnd = units == 1 ? state.SectorRangeEnd : (state.SectorRangeEnd + 1) / units - 1;
    h.volumeParameters = scaledParameters(state.VolumeParameters, units, true, state.FileSystemKind == "FAT32");
    h.activeParameters =
        scaledParameters(state.ActiveVolume.params, units, true, state.ActiveVolume.fileSystemName == "FAT32");
    h.activeFileSystemName = state.ActiveVolume.fileSystemName;
    return h;
}

bool SaveSession(const RecoveryState& state, const std::string& path, const std::string& diskModelText,
                 int selectedPartition, std::string& error) {
    const session::SessionContent content =
        session::captureSession(sessionHeaderOf(state, diskModelText, selectedPartition), state.FolderNodeList,
                                state.items, unitsOf(state));
    const std::vector<std::uint8_t> bytes = session::encodeSession(content);
    return session::writeSessionFile(path, bytes, error);
}

SessionLoadResult loadSession(RecoveryState& state, std::span<const std::uint8_t> bytes,
                              const std::string& currentModelText, util::ProgressSink& progress,
                              std::stop_token stop) {
    progress.setHelpText(kHelpWait);
    std::string why;
    std::optional<session::SessionContent> content = session::decodeSession(bytes, &why);
    if (!content) return refuse(progress, why);
    const std::string model = currentModelText.substr(0, std::min(currentModelText.size(), session::kMaxHeaderText));
    if (content->header.diskModelText != model)
        return refuse(progress, "the log was saved for the disk \"" + content->header.diskModelText + "\"");

    // Everything is rebuilt aside; the recovery state changes only at the end.
    records::RecordTable folderTable = records::makeFolderTable();
    records::ItemStore items;
    records::FolderNodeList nodes = state.FolderNodeList;  // keeps the program-wide "DIR_" counter
    nodes.clear();
    progress.setStatusText(kLoadingLabel);
    const std::uint32_t units = unitsOf(state);
    session::refillTables(*content, folderTable, items, progress, units);
    if (stop.stop_requested()) return {SessionLoadStatus::Stopped, 0, {}};
    const std::string& name = content->header.activeFileSystemName;
    records::BuildFolderTree(records::volumeKindFromName(name), folderTable, nodes, progress, stop);
    if (stop.stop_requested()) return {SessionLoadStatus::Stopped, 0, {}};

    const session::SessionHeader& h = content->header;
    state.searchMode = SearchMode::Standard;
    state.FileSystemKind = h.fileSystemKind;
    const bool endKnown = h.sectorRangeEnd < UINT64_MAX / units - 1;
    state.SectorRangeStart = h.sectorRangeStart <= UINT64_MAX / units ? h.sectorRangeStart * units : UINT64_MAX;
    state.SectorRangeEnd = units == 1 || !endKnown ? h.sectorRangeEnd : (h.sectorRangeEnd + 1) * units - 1;
    state.VolumeParameters = scaledParameters(h.volumeParameters, units, false, h.fileSystemKind == "FAT32");
    state.ActiveVolume.params = scaledParameters(h.activeParameters, units, false, name == "FAT32");
    state.ActiveVolume.fileSystemName = name;
    // A volume beyond 2^32 sectors left its positions saturated in the log:
    // its boot sector, read again, gives them.
    if (saturatedPosition(state.ActiveVolume.params) && h.searchMode == 1) {
        partition::VolumeParameters fresh = state.ActiveVolume.params;
        const partition::VolumeRange range = state.volumeRange();
        const int valid = name == "NTFS"    ? partition::validateNtfsVolume(range, fresh)
                          : name == "FAT32" ? partition::validateFat32Volume(range, fresh)
                                            : partition::validateFat16Volume(range, fresh);
        if (valid == 1) {
            state.ActiveVolume.params = fresh;
            if (h.fileSystemKind == name) state.VolumeParameters = fresh;
        }
    }
    state.tables.FolderTable = std::move(folderTable);
    state.tables.FileTable.clear();
    state.items = std::move(items);
    state.FolderNodeList = std::move(nodes);
    // The run table belonged to the previous volume; recovery rebuilds it.
    state.mftRunTable.clear();
    state.walkRuns.clear();
    state.conditions.reset();
    progress.setStatusText("");
    progress.setHelpText(kHelpLoaded);

    SessionLoadResult result;
    result.status = SessionLoadStatus::Loaded;
    result.selectedPartition = h.selectedPartition;
    return result;
}

SessionLoadResult loadSessionFile(RecoveryState& state, const std::string& path,
                                  const std::string& currentModelText, util::ProgressSink& progress,
                                  std::stop_token stop) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!session::readSessionFile(path, bytes, error)) {
        progress.setHelpText(kHelpWait);
        return refuse(progress, error);
    }
    return loadSession(state, bytes, currentModelText, progress, stop);
}

}  // namespace qvx::engine

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
    h.sectorRangeStart = state.SectorRangeStart;
    h.sectorRangeEnd = state.SectorRangeEnd;
    h.volumeParameters = state.VolumeParameters;
    h.activeParameters = state.ActiveVolume.params;
    h.activeFileSystemName = state.ActiveVolume.fileSystemName;
    return h;
}

bool SaveSession(const RecoveryState& state, const std::string& path, const std::string& diskModelText,
                 int selectedPartition, std::string& error) {
    const session::SessionContent content =
        session::captureSession(sessionHeaderOf(state, diskModelText, selectedPartition), state.FolderNodeList,
                                state.items);
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
    session::refillTables(*content, folderTable, items, progress);
    if (stop.stop_requested()) return {SessionLoadStatus::Stopped, 0, {}};
    const std::string& name = content->header.activeFileSystemName;
    records::BuildFolderTree(records::volumeKindFromName(name), folderTable, nodes, progress, stop);
    if (stop.stop_requested()) return {SessionLoadStatus::Stopped, 0, {}};

    const session::SessionHeader& h = content->header;
    state.searchMode = SearchMode::Standard;
    state.FileSystemKind = h.fileSystemKind;
    state.SectorRangeStart = h.sectorRangeStart;
    state.SectorRangeEnd = h.sectorRangeEnd;
    state.VolumeParameters = h.volumeParameters;
    state.ActiveVolume.params = h.activeParameters;
    state.ActiveVolume.fileSystemName = name;
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

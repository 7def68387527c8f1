#include "engine/analysis_job.h"

#include "fat/directory_scan.h"
#include "fat/fat_volume.h"
#include "ntfs/standard_search.h"
#include "partition/validate_volume.h"
#include "records/folder_tree.h"

namespace qvx::engine {

int validateSelectedVolume(RecoveryState& state, util::ProgressSink& progress) {
    const int valid = partition::ValidateVolume(state.FileSystemKind, state.volumeRange(), state.VolumeParameters,
                                                state.tables, progress);
    if (state.FileSystemKind == "FAT16" || state.FileSystemKind == "FAT32") state.FatParametersValid = valid == 1;
    return valid;
}

namespace {

AnalysisStatus runFat(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    const partition::VolumeRange range = state.volumeRange();
    if (!state.FatParametersValid &&
        partition::CalculateFatParameters(state.FileSystemKind, range, state.VolumeParameters, progress, stop) == 0)
        progress.showMessage("Unable to calculate partition parameters", util::MessageKind::Error);
    state.ActiveVolume.params = state.VolumeParameters;
    state.ActiveVolume.fileSystemName = state.FileSystemKind;
    state.tables.FolderTable.clear();
    state.tables.FileTable.clear();
    state.items.clear();
    state.diagnostics.clear();
    state.FolderNodeList.clear();
    const fat::FatVolume volume = fat::makeFatVolume(state.FileSystemKind, state.VolumeParameters, range);
    const bool complete = fat::runFatStandardSearch(volume, state.tables.FolderTable, progress, stop);
    if (!complete && !stop.stop_requested()) return AnalysisStatus::Invalid;
    records::BuildFolderTree(records::volumeKindFromName(state.FileSystemKind), state.tables.FolderTable,
                             state.FolderNodeList, progress);
    state.tables.FileTable.clear();
    state.tables.DirectoryScanTable.clear();
    return stop.stop_requested() ? AnalysisStatus::Stopped : AnalysisStatus::Done;
}

}  // namespace

AnalysisStatus runStandardSearch(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    // What the conditions of deleted files were computed from belongs to
    // the previous tree.
    state.conditions.reset();
    state.walkRuns.clear();
    if (state.FileSystemKind == "NTFS") {
        state.ActiveVolume.params = state.VolumeParameters;
        state.ActiveVolume.fileSystemName = "NTFS";
        state.diagnostics.clear();
        const bool complete =
            ntfs::runNtfsStandardSearch(state.volumeRange(), state.VolumeParameters, state.mftRunTable, state.tables,
                                        state.items, state.FolderNodeList, progress, stop, &state.diagnostics,
                                        &state.walkRuns);
        if (!complete) return AnalysisStatus::Stopped;
        return state.items.fileCount() == 0 ? AnalysisStatus::NothingFound : AnalysisStatus::Done;
    }
    if (state.FileSystemKind == "FAT16" || state.FileSystemKind == "FAT32") return runFat(state, progress, stop);
    return AnalysisStatus::Invalid;
}

}  // namespace qvx::engine

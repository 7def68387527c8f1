#include "engine/ntfs_advance.h"

#include "scan/ntfs_assignment.h"
#include "scan/ntfs_open_fs.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::engine {

namespace {

constexpr const char* kFoundHelpText =
    "For recovering data proceed with next button or if you want to recover another drive, proceed with back "
    "button and select another partition.";
constexpr const char* kNothingHelpText =
    "No File System could be identified. Click on 'Back' button to select another Partition.";

}  // namespace

AnalysisStatus runNtfsAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    const partition::VolumeRange disk = state.volumeRange();
    // SectorRangeEnd is the last sector, clamped to the disk by volumeRange().
    const std::uint64_t end = state.volumeRange().SectorRangeEnd + 1;
    const scan::NtfsScanResult scanned =
        scan::scanRawNtfs(disk, state.SectorRangeStart, end, state.tables, progress, stop);
    // After a stop the assignment still runs over what was collected; it
    // reads few sectors and ends on its own.
    scan::assignMftNumbers(disk, state.SectorRangeStart, end, state.tables, progress, std::stop_token{});

    if (state.tables.FileSystemTable.rowCount() == 0) {
        progress.setHelpText(kNothingHelpText);
        return scanned.stopped ? AnalysisStatus::Stopped : AnalysisStatus::NothingFound;
    }
    progress.setHelpText(kFoundHelpText);
    return scanned.stopped ? AnalysisStatus::Stopped : AnalysisStatus::Done;
}

AnalysisStatus openNtfsFileSystem(RecoveryState& state, int fsNumber, util::ProgressSink& progress,
                                  std::stop_token stop) {
    state.conditions.reset();
    state.walkRuns.clear();
    // A file system opened anew may find the MFT's runs where an earlier one
    // found none.
    if (state.mftRunTable.runCount() == 0) state.mftRunTable.clear();
    const scan::OpenedNtfsFileSystem opened =
        scan::openNtfsFileSystem(fsNumber, state.tables, state.items, state.FolderNodeList, progress, stop);
    if (!opened.found) return AnalysisStatus::Invalid;
    state.ActiveVolume.params = partition::VolumeParameters{};
    state.ActiveVolume.params.cluster0Start = opened.cluster0Start;
    state.ActiveVolume.params.sectorsPerCluster = opened.sectorsPerCluster;
    state.ActiveVolume.params.sectorsPerMftRecord = opened.sectorsPerMftRecord;
    // Recovery reads each file's record where the scan saw it, as many bytes
    // as the file system's records have.
    state.mftRunTable.setRecordBytes(opened.sectorsPerMftRecord * 512);
    state.ActiveVolume.fileSystemName = "NTFS";
    if (stop.stop_requested()) return AnalysisStatus::Stopped;
    return state.items.fileCount() == 0 ? AnalysisStatus::NothingFound : AnalysisStatus::Done;
}

}  // namespace qvx::engine

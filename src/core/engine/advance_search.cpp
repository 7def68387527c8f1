#include "engine/advance_search.h"

#include "records/folder_tree.h"
#include "scan/fat_evidence.h"
#include "scan/fat_open.h"

// The NTFS half of Advance Search lives in engine/ntfs_advance; until a
// build has it, "NTFS" is reported as unavailable. This is the one place
// that calls it.
#if __has_include("engine/ntfs_advance.h")
#include "engine/ntfs_advance.h"
#define QVX_HAVE_NTFS_ADVANCE 1
#else
#define QVX_HAVE_NTFS_ADVANCE 0
#endif

namespace qvx::engine {

namespace {

bool isFatKind(const std::string& kind) { return kind == "FAT16" || kind == "FAT32"; }

AdvanceScanResult runFatAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    AdvanceScanResult result;
    progress.setCounter(scan::kFatDirectoriesFoundLabel, "0");
    // SectorRangeEnd is the last sector, clamped to the disk by volumeRange().
    const std::uint64_t end = state.volumeRange().SectorRangeEnd + 1;
    result.stopped = !scan::ScanFatEvidence(state.volumeRange(), state.SectorRangeStart, end, state.tables, progress,
                                            stop);
    const scan::FatIdentification found = scan::IdentifyFatFileSystems(state.tables, state.FileSystemKind, progress);
    result.fileSystemCount = found.fileSystemCount;
    result.status = found.fileSystemCount > 0 ? AdvanceScanStatus::Found : AdvanceScanStatus::NoneFound;
    return result;
}

#if QVX_HAVE_NTFS_ADVANCE
AdvanceScanResult callNtfsAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    AdvanceScanResult result;
    result.stopped = runNtfsAdvanceScan(state, progress, stop) == AnalysisStatus::Stopped;
    result.fileSystemCount = state.tables.FileSystemTable.rowCount();
    result.status = result.fileSystemCount > 0 ? AdvanceScanStatus::Found : AdvanceScanStatus::NoneFound;
    return result;
}
#endif

AnalysisStatus openFatFileSystem(RecoveryState& state, int number, util::ProgressSink& progress,
                                 std::stop_token stop) {
    state.tables.FolderTable.clear();
    state.tables.FileTable.clear();
    state.items.clear();
    state.FolderNodeList.clear();
    state.conditions.reset();
    state.walkRuns.clear();
    scan::FatFileSystem opened;
    if (!scan::OpenFatFileSystem(state.volumeRange(), number, state.tables, opened, progress, stop))
        return stop.stop_requested() ? AnalysisStatus::Stopped : AnalysisStatus::Invalid;
    state.ActiveVolume.params = opened.params;
    state.ActiveVolume.fileSystemName = opened.kind;
    records::BuildFolderTree(records::volumeKindFromName(opened.kind), state.tables.FolderTable, state.FolderNodeList,
                             progress, stop);
    state.FolderNodeList.SetRootText();
    return stop.stop_requested() ? AnalysisStatus::Stopped : AnalysisStatus::Done;
}

}  // namespace

bool advanceSearchAvailable(const std::string& kind) {
    if (isFatKind(kind)) return true;
    return kind == "NTFS" && QVX_HAVE_NTFS_ADVANCE;
}

AdvanceScanResult runAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop) {
    AdvanceScanResult result;
    state.searchMode = SearchMode::Advance;
    state.FolderNodeList.clear();
    if (isFatKind(state.FileSystemKind)) {
        result = runFatAdvanceScan(state, progress, stop);
    } else if (state.FileSystemKind == "NTFS") {
#if QVX_HAVE_NTFS_ADVANCE
        result = callNtfsAdvanceScan(state, progress, stop);
#else
        result.status = AdvanceScanStatus::Unavailable;
        return result;
#endif
    } else {
        result.status = AdvanceScanStatus::Unavailable;
        return result;
    }
    for (int n = 1; n <= result.fileSystemCount; ++n) state.FolderNodeList.addFileSystemItem(fileSystemItemText(state, n));
    return result;
}

std::string fileSystemItemText(const RecoveryState& state, int number) {
    const records::RecordTable& t = state.tables.FileSystemTable;
    return "File System " + std::to_string(number) + " - " + std::string(t.cell(number - 1, scan::kBsPartType));
}

AnalysisStatus openAdvanceFileSystem(RecoveryState& state, int number, util::ProgressSink& progress,
                                     std::stop_token stop) {
    if (number < 1 || number > state.tables.FileSystemTable.rowCount()) return AnalysisStatus::Invalid;
    if (isFatKind(state.FileSystemKind)) return openFatFileSystem(state, number, progress, stop);
#if QVX_HAVE_NTFS_ADVANCE
    if (state.FileSystemKind == "NTFS") return openNtfsFileSystem(state, number, progress, stop);
#endif
    return AnalysisStatus::Invalid;
}

}  // namespace qvx::engine

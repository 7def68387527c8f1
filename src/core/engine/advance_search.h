#pragma once
// Advance Search: the raw scan of the chosen sector range for the evidence
// of file systems, their identification, and the opening of the one the
// user picks. One entry point each for both kinds; state.FileSystemKind
// decides whether the FAT or the NTFS path runs.

#include <stop_token>
#include <string>

#include "engine/analysis_job.h"
#include "engine/recovery_state.h"
#include "util/progress.h"

namespace qvx::engine {

// The front end's texts after a scan: the message panel with file systems
// found or none, and the advisory when none was found.
inline constexpr const char* kNoFileSystemMessage =
    "No File System could be identified. Click on 'Back' button to select another Partition.";
inline constexpr const char* kFileSystemsFoundHelp =
    "Press 'Next' button to Recover Data. Or to select another Partition press 'Back' button.";
inline constexpr const char* kNoFileSystemAdvisory =
    "No file system could be identified. Recovery is not possible in Advance Search mode.";

enum class AdvanceScanStatus {
    Found,        // FileSystemTable holds at least one file system
    NoneFound,    // the scan ended (or was stopped) and nothing was identified
    Unavailable,  // this build cannot scan the kind
};

struct AdvanceScanResult {
    AdvanceScanStatus status = AdvanceScanStatus::NoneFound;
    bool stopped = false;     // the scan was stopped; what it collected was analysed
    int fileSystemCount = 0;  // rows of FileSystemTable
};

/// Whether this build has an Advance Search for the kind.
bool advanceSearchAvailable(const std::string& FileSystemKind);

/// Scans [SectorRangeStart, SectorRangeEnd] and identifies the file systems
/// into state.tables.FileSystemTable. A stop request ends the scan only:
/// the identification always runs over what was collected, as after a
/// completed scan. Adds one "File System N - KIND" item per file system
/// under the root of state.FolderNodeList.
AdvanceScanResult runAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop);

/// "File System N - KIND" of FileSystemTable row number - 1.
std::string fileSystemItemText(const RecoveryState& state, int number);

/// Opens file system number (1-based) of FileSystemTable: loads its folders,
/// sets ActiveVolume and builds the folder tree in state.FolderNodeList.
AnalysisStatus openAdvanceFileSystem(RecoveryState& state, int number, util::ProgressSink& progress,
                                     std::stop_token stop);

}  // namespace qvx::engine

#pragma once
// Advance Search on NTFS: the raw scan of the chosen sector range for boot
// sectors, FILE and INDX records, the numbering of the records and the
// identification of the file systems, and the opening of the one picked.

#include <stop_token>

#include "engine/analysis_job.h"
#include "engine/recovery_state.h"
#include "util/progress.h"

namespace qvx::engine {

/// Scans [SectorRangeStart, SectorRangeEnd], then assigns record numbers
/// and fills state.tables.FileSystemTable. A stop request ends the scan
/// only: what it collected is analysed as after a completed scan, and the
/// result is Stopped. NothingFound when no FILE record was found; the
/// caller then shows the advisory, this sets only the help text.
AnalysisStatus runNtfsAdvanceScan(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop);

/// Opens file system fsNumber (1-based) of FileSystemTable: FolderTable,
/// FileTable and the folder tree as after a Standard Search, and
/// ActiveVolume from the file system's row. Invalid for an unknown number.
AnalysisStatus openNtfsFileSystem(RecoveryState& state, int fsNumber, util::ProgressSink& progress,
                                  std::stop_token stop);

}  // namespace qvx::engine

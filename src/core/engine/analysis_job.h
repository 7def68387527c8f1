#pragma once
// The analysis of the chosen volume, as the wizard's Next on the partition
// screen starts it: validation of the boot sector, then the Standard Search
// of the file system, ending in the folder tree of the recovery state.

#include <stop_token>
#include <string>

#include "engine/recovery_state.h"
#include "ntfs/standard_search.h"
#include "util/progress.h"

namespace qvx::engine {

/// The advisory shown when a Standard Search cannot proceed or found nothing.
inline constexpr const char* kNoRecoveryMessage = ntfs::kNoRecoveryMessage;

enum class AnalysisStatus {
    Done,          // the tree is built
    NothingFound,  // no file was found ("Recovery is not possible ..." was shown)
    Stopped,       // stopped on request; the tree holds what was found
    Invalid,       // the volume could not be validated or searched
};

/// Validates the boot sector of state.FileSystemKind over the sector range
/// and fills state.VolumeParameters; 1 on success. For FAT the result is
/// kept in FatParametersValid, so the search rebuilds the geometry.
int validateSelectedVolume(RecoveryState& state, util::ProgressSink& progress);

/// Runs the Standard Search of the validated volume (state.FileSystemKind)
/// and copies the parameters into ActiveVolume.
AnalysisStatus runStandardSearch(RecoveryState& state, util::ProgressSink& progress, std::stop_token stop);

}  // namespace qvx::engine

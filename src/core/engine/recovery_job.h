#pragma once
// The Save flow's work: copying the contents of the selected folders and
// files of the result tree to a destination folder, each at the path the
// tree shows it (so orphans go under "QVX_Miscellaneous"), with a report of
// how completely each file could be recovered.

#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/recovery_state.h"
#include "recover/names.h"
#include "recover/report.h"
#include "util/progress.h"

namespace qvx::engine {

/// Name of the report written into the destination folder.
inline constexpr const char* kRecoveryReportName = "recovery-report.json";

struct RecoveryOptions {
    std::string destination;
    /// Sub-trees to recover, as paths from the volume root in the listing's
    /// UTF-8 form ("Docs/Reports"); empty = the whole tree.
    std::vector<std::string> paths;
    bool deletedOnly = false;
    /// Deleted files whose every cluster now belongs to other files are
    /// left out (counted in RecoveryRun::skippedOverwritten).
    bool skipOverwritten = false;
    /// Narrower selections; each kind given narrows the choice, an item is
    /// kept when it matches one value of each kind given.
    /// Record numbers: the NTFS MFT record, for FAT the entry's first cluster;
    /// a folder's number selects everything below it too.
    std::vector<std::uint64_t> ids;
    /// Shell patterns (fnmatch, "*" also crosses "/") on the path from the
    /// volume root in the listing's UTF-8 form ("Docs/*.jpg"; a leading "/"
    /// is ignored); ignoreCase matches them without regard to case.
    std::vector<std::string> globs;
    bool ignoreCase = false;
    recover::ConflictPolicy onConflict = recover::ConflictPolicy::Rename;
    /// Folders written under another name: listing path ("Docs/Reports",
    /// UTF-8) -> the name its last component gets at the destination
    /// ("Reports (1)"), e.g. when the user chose to rename a folder that is
    /// already there instead of filling it.
    std::map<std::string, std::string> renamedFolders;
    /// Called after each file, e.g. to print it.
    std::function<void(const recover::ReportEntry&)> onFile;
};

enum class RecoveryStatus {
    Done,              // every selected file was handled (see the report)
    Refused,           // the destination is on the source disk
    DestinationError,  // the destination folder could not be created
    Stopped,           // stopped on request; the report holds what was done
};

struct RecoveryRun {
    RecoveryStatus status = RecoveryStatus::Done;
    std::string message;
    recover::RecoveryReport report;
    /// Where the report was written (recovery-report.json, or -2, -3, ...
    /// when earlier reports are there).
    std::string reportPath;
    /// Paths of RecoveryOptions::paths that name nothing in the tree.
    std::vector<std::string> unmatchedPaths;
    /// Ids and patterns of RecoveryOptions::ids and globs that select nothing
    /// ("--id 12", "--glob *.jpg").
    std::vector<std::string> unmatchedSelectors;
    /// Files left out by RecoveryOptions::skipOverwritten.
    std::size_t skippedOverwritten = 0;
};

/// Recovers the selected files of the tree in state (after an analysis).
/// Live files are written before deleted ones, so that a deleted file with
/// the name of a live one gets the alternative name.
RecoveryRun recoverSelection(RecoveryState& state, const RecoveryOptions& options, util::ProgressSink& progress,
                             std::stop_token stop = {});

}  // namespace qvx::engine

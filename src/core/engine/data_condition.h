#pragma once
// The condition of deleted files' data and where every item was found,
// for the listing, the command line, recovery and the wizard. A deleted
// file's clusters (those recovery reads) are tested against the volume's
// allocation data now: NTFS's $Bitmap, read once through the file decoder
// of its own record, or the FAT. Where a live file owns reused clusters it
// is named: on NTFS from the runs of live files that the Standard Search's
// walk collected, on FAT from the chains of the live directory tree, walked
// once the first reused cluster is met.
//
// Everything read is kept in RecoveryState::conditions and dropped when the
// volume or its tree changes. Not thread-safe: call from the job that owns
// the state, or after it has finished.

#include <cstddef>
#include <vector>

#include "engine/recovery_state.h"
#include "records/data_condition.h"
#include "records/file_list.h"
#include "records/provenance.h"
#include "recover/extents.h"

namespace qvx::engine {

/// Whether a row stands for a deleted file or stream whose data has a
/// condition (folders, live files and plain volume labels have none).
/// insideDeleted: a folder above the row is deleted (FAT files there have
/// lost their chains with it).
bool hasDataCondition(const RecoveryState& state, const records::FileListRow& row, bool insideDeleted = false);

/// The condition of the row's data (kind None when it has none). NTFS
/// items whose runs the walk kept are tested from them each time (a few
/// bit tests); others are located once (their record or directory entry
/// read again) and the result kept.
records::DataCondition rowCondition(RecoveryState& state, const records::FileListRow& row,
                                    bool insideDeleted = false);

/// The same for a layout already located (recovery has it at hand).
records::DataCondition layoutCondition(RecoveryState& state, const records::FileListRow& row, bool insideDeleted,
                                       const recover::FileLayout& layout);

struct ConditionCounts {
    std::size_t intact = 0;
    std::size_t partlyOverwritten = 0;
    std::size_t overwritten = 0;
    std::size_t unknown = 0;
    ConditionCounts& operator+=(const ConditionCounts& o) {
        intact += o.intact;
        partlyOverwritten += o.partlyOverwritten;
        overwritten += o.overwritten;
        unknown += o.unknown;
        return *this;
    }
};

/// How many of the rows (those with a condition) are in each condition; a
/// selection spanning several folders adds up the counts of each folder's
/// rows (with that folder's insideDeleted).
ConditionCounts countConditions(RecoveryState& state, const records::FileList& rows, bool insideDeleted = false);

/// Whether the folder of that tree item, or one above it, is deleted: the
/// insideDeleted of the rows listed in it.
bool insideDeletedFolder(const RecoveryState& state, records::TreeItemId folder);

/// Where the row's item was found and how its parent was decided. An NTFS
/// record whose sector the items do not carry (folders of a tree loaded
/// from a session log) is located through the MFT's runs.
records::Provenance rowProvenance(RecoveryState& state, const records::FileListRow& row);

/// Builds the MFT's run table of an NTFS tree that came without it (loaded
/// from a session log); nothing when it is there or the volume is not NTFS.
void ensureMftRunTable(RecoveryState& state);

}  // namespace qvx::engine

#pragma once
// The Standard Search of an NTFS volume: locate the MFT from the volume
// parameters, walk every record slot of its data in order, put each file
// together from its base and extension records, and write one FolderTable
// row per folder and one item per folder, file and alternate data stream;
// then hang folders and files whose parent is missing under
// "QVX_Miscellaneous" and build the folder tree.

#include <stop_token>

#include "ntfs/mft_file.h"
#include "ntfs/mft_run_table.h"
#include "partition/validate_volume.h"
#include "partition/volume_parameters.h"
#include "records/cluster_owners.h"
#include "records/folder_tree.h"
#include "records/items.h"
#include "records/tables.h"
#include "util/diagnostics.h"
#include "util/progress.h"

namespace qvx::ntfs {

inline constexpr const char* kMftFoundLabel = "MFT Found\t\t\t:";
inline constexpr const char* kNoRecoveryMessage =
    "Recovery is not possible in Standard Search mode, use Advance Search to recover your data.";
inline constexpr const char* kResultHelpText =
    "Select Files and Folders from left panel Directories' Tree and Click on 'Save' button in Toolbar to save "
    "recovered Files and Folders.";

/// What the walk and the search saw, for callers and tests.
struct WalkResult {
    std::uint64_t slotCount = 0;  // record slots visited
    bool stopped = false;
};

/// Writes row 0 of FolderTable, the synthetic "QVX_Miscellaneous" folder
/// (parent 5, the NTFS root).
void appendMiscellaneousRow(records::RecordTable& FolderTable);

/// Clusters of the volume, for bounding run lists (0 when not known).
std::uint64_t volumeClusterCount(const partition::VolumeRange& volume, std::uint32_t sectorsPerCluster);

/// Adds the clusters of every non-sparse run of every data stream of a
/// file in use to live, owned by its record number.
void addLiveClusters(const MftFile& file, records::ClusterOwnerIndex& live);

/// Walks every record slot of the runs in table order; slot n is record n.
/// Appends the synthetic folder first. When walkRuns is given, the data
/// runs of every file in use and of every deleted file and stream item go
/// into it (finished at the end of a walk that was not stopped), so the
/// condition of deleted files needs no second pass over the MFT.
WalkResult walkMft(const partition::VolumeRange& volume, const MftRunTable& runs, std::uint32_t sectorsPerCluster,
                   records::RecordTables& tables, records::ItemStore& items, util::ProgressSink& progress,
                   std::stop_token stop, util::Diagnostics* diagnostics = nullptr,
                   records::WalkRuns* walkRuns = nullptr);

/// The same index from a walk of its own (a tree loaded from a session
/// log comes without it). False when stopped; the index is left unbuilt.
bool collectLiveClusters(const partition::VolumeRange& volume, const MftRunTable& runs,
                         std::uint32_t sectorsPerCluster, records::ClusterOwnerIndex& live, std::stop_token stop);

/// The whole search: run table, walk, lost directories, folder tree.
/// Returns false when it was stopped. When no file was found the message
/// "Recovery is not possible ..." has been shown.
bool runNtfsStandardSearch(const partition::VolumeRange& volume, const partition::VolumeParameters& params,
                           MftRunTable& runs, records::RecordTables& tables, records::ItemStore& items,
                           records::FolderNodeList& nodes, util::ProgressSink& progress, std::stop_token stop,
                           util::Diagnostics* diagnostics = nullptr, records::WalkRuns* walkRuns = nullptr);

}  // namespace qvx::ntfs

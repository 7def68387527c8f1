#pragma once
// The Standard Search of a FAT volume: every directory is found by scanning
// the data area for clusters that begin with their own "." entry, and linked
// to its parent by its ".." entry. Names come later from the parents.

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "fat/fat_volume.h"
#include "records/lost_directories.h"
#include "records/record_table.h"
#include "util/progress.h"

namespace qvx::fat {

inline constexpr const char* kDirectoriesFoundLabel = "Directories Found\t\t:";

/// Writes row 0 of FolderTable, the synthetic "QVX_Miscellaneous" folder
/// (parent 0, the FAT root).
void appendMiscellaneousRow(records::RecordTable& FolderTable);

/// Appends the synthetic row and one FolderTable row per directory cluster
/// found from cluster 2 up to the volume's end sector. Returns false (with
/// nothing scanned) when the geometry cannot address clusters.
bool ScanDirectoryClusters(const FatVolume& volume, records::RecordTable& FolderTable, util::ProgressSink& progress,
                           std::stop_token stop);

/// Names the FolderTable rows whose parent is the root (0) from the entries
/// of the root directory; a row that no valid entry names keeps its name.
void NameRootFolders(const FatVolume& volume, records::RecordTable& FolderTable);

/// Folders whose ".." links go round in a loop (a folder naming itself as
/// its parent included) would hang under no shown folder: each loop is cut
/// at one folder, which moves under the directory (the root included) whose
/// live entry names it, or under "QVX_Miscellaneous" when none does.
void breakParentCycles(const FatVolume& volume, records::RecordTable& FolderTable);

/// The whole Standard Search after the geometry is known: the scan, the lost
/// directory search and the naming of the first level. FolderTable ends
/// sorted on "parent", ready for the folder tree. Loops of ".." links are
/// cut after the lost directory search. Returns false when the
/// geometry was unusable (a message has been shown) or the search was stopped.
/// The FAT steps of the common tree ending (v must outlive them).
records::FolderTreeSteps fatTreeSteps(const FatVolume& v);

bool runFatStandardSearch(const FatVolume& volume, records::RecordTable& FolderTable, util::ProgressSink& progress,
                          std::stop_token stop);

}  // namespace qvx::fat

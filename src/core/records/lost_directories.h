#pragma once
// Folders whose parent was not found (overwritten, or its record or
// directory cluster gone) are hung under the synthetic "QVX_Miscellaneous"
// folder so that every folder found is shown somewhere in the tree. Files
// whose parent folder is missing go there as well, so that they can still be
// listed and saved.

#include <stop_token>

#include "records/folder_tree.h"
#include "records/record_table.h"
#include "util/progress.h"

namespace qvx::records {

/// FolderTable must be sorted on "self" (the synthetic row last). Looks one
/// level up only: a folder whose parent exists stays under it. When FileTable
/// is given, its rows whose parent folder is missing are moved as well.
/// On NTFS, folders whose parent links go round in a loop (or name the
/// folder itself) are cut under "QVX_Miscellaneous" with their subtrees.
/// Reports "Searching Lost Directories i/n" with the progress bar.
void FindLostDirectories(VolumeKind kind, RecordTable& FolderTable, RecordTable* FileTable,
                         util::ProgressSink& progress, std::stop_token stop = {});

}  // namespace qvx::records

#include "records/items.h"

namespace qvx::records {

/// The file items (streams included) whose parent folder is neither the
/// root nor a folder of FolderTable go under "QVX_Miscellaneous", as
/// FindLostDirectories does for FileTable rows.
void reparentOrphanItems(VolumeKind kind, const RecordTable& FolderTable, ItemStore& items, std::stop_token stop = {});

}  // namespace qvx::records

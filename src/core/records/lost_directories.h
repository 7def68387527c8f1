#pragma once
// Folders whose parent was not found (overwritten, or its record or
// directory cluster gone) are hung under the synthetic "QVX_Miscellaneous"
// folder so that every folder found is shown somewhere in the tree. Files
// whose parent folder is missing go there as well, so that they can still be
// listed and saved.

#include <functional>
#include <stop_token>
#include <vector>

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

/// Whether an item's parent is the root or a folder of a folder table: the
/// table's self ids, sorted once.
class KnownParents {
public:
    KnownParents(VolumeKind kind, const RecordTable& FolderTable);
    bool contains(std::uint64_t parent) const;

private:
    std::uint64_t m_root;
    std::vector<std::uint64_t> m_folders;
};

/// The file items (streams included) whose parent folder is neither the
/// root nor a folder of FolderTable go under "QVX_Miscellaneous", as
/// FindLostDirectories does for FileTable rows.
void reparentOrphanItems(VolumeKind kind, const RecordTable& FolderTable, ItemStore& items, std::stop_token stop = {});

/// What a file system adds to the ending every search shares.
struct FolderTreeSteps {
    ItemStore* items = nullptr;                       // its files follow their lost folders (NTFS)
    std::function<void(RecordTable&)> breakCycles;    // after the lost-directory search (FAT's ".." loops)
    std::function<void(RecordTable&)> nameRoots;      // once sorted on "parent" (FAT's volume-root rows)
    FolderNodeList* nodes = nullptr;                  // the tree is built into it when given
    bool pleaseWait = false;                          // the help text reads "Please wait..." meanwhile
};

/// The ending of every search and opening: sorted on "self", the lost
/// directories are found (and the items of lost folders follow them), the
/// file system breaks its own loops, then sorted on "parent" the roots are
/// named and the tree is built. Returns false when stop ended the
/// lost-directory search; pass no stop token to always get the tree.
bool finishFolderTree(VolumeKind kind, RecordTable& FolderTable, const FolderTreeSteps& steps,
                      util::ProgressSink& progress, std::stop_token stop = {});

}  // namespace qvx::records

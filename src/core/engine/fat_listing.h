#pragma once
// The FAT side of listing a folder of the result tree: the folder's own
// directory is read from the disk, which names its sub-folders (the tree
// builder named only the first level) and gives its file rows.

#include <cstdint>

#include "engine/recovery_state.h"
#include "fat/directory.h"
#include "fat/fat_volume.h"
#include "records/file_list.h"

namespace qvx::engine {

class ListingIndex;

/// The FAT volume whose tree is shown (ActiveVolume on the selected disk).
fat::FatVolume activeFatVolume(const RecoveryState& state);

/// Reads the directory of the folder of node nodeIndex and gives each
/// sub-folder entry's name and deleted state to the first child node (in
/// list order) whose self id is the entry's first cluster. Nothing is read
/// for "QVX_Miscellaneous". Marks the node expanded. index (optional) must
/// describe the current node list.
void readFatFolderDirectory(RecoveryState& state, int nodeIndex, const ListingIndex* index = nullptr);

/// Appends the file rows of folder target (0 for the root) read from its
/// directory; nothing for "QVX_Miscellaneous". Folder entries that no node
/// of the tree stands for (a deleted folder whose cluster no longer holds
/// its directory) are inserted as folder rows at folderRowsEnd, after the
/// other folder rows.
void fillFatFileRows(RecoveryState& state, records::FileList& list, std::uint32_t target,
                     std::size_t folderRowsEnd);

}  // namespace qvx::engine

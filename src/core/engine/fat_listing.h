#pragma once
// The FAT side of listing a folder of the result tree: the folder's own
// directory is read from the disk, which names its sub-folders (the tree
// builder named only the first level) and gives its file rows.

#include <cstdint>
#include <memory>

#include "engine/recovery_state.h"
#include "fat/directory.h"
#include "fat/fat_volume.h"
#include "records/file_list.h"
#include "util/diagnostics.h"

namespace qvx::engine {

class ListingIndex;

/// A folder's directory kept between naming its sub-folders and making its
/// file rows, so that listing a folder reads and decodes it once. The
/// problems met while reading it are recorded when its rows are made, as a
/// read then would have recorded them.
struct FatDirectoryKept {
    bool held = false;
    std::uint32_t cluster = 0;  // the folder's first cluster
    fat::FatDirectory directory;
    util::Diagnostics problems;
    /// FAT sectors read while this reader lists the volume.
    std::shared_ptr<fat::FatSectorCache> fatSectors;
};

/// The FAT volume whose tree is shown (ActiveVolume on the selected disk).
fat::FatVolume activeFatVolume(const RecoveryState& state);

/// Reads the directory of the folder of node nodeIndex and gives each
/// sub-folder entry's name and deleted state to the first child node (in
/// list order) whose self id is the entry's first cluster. Nothing is read
/// for "QVX_Miscellaneous". Marks the node expanded. index (optional) must
/// describe the current node list. With keep, the directory read is kept
/// there for fillFatFileRows.
void readFatFolderDirectory(RecoveryState& state, int nodeIndex, const ListingIndex* index = nullptr,
                            FatDirectoryKept* keep = nullptr);

/// Appends the file rows of folder target (0 for the root) read from its
/// directory; nothing for "QVX_Miscellaneous". Folder entries that no node
/// of the tree stands for (a deleted folder whose cluster no longer holds
/// its directory) are inserted as folder rows at folderRowsEnd, after the
/// other folder rows. A directory kept for target is used instead of
/// reading it again, and released. Without shownCells, file rows leave out
/// the type, size and debug texts.
void fillFatFileRows(RecoveryState& state, records::FileList& list, std::uint32_t target,
                     std::size_t folderRowsEnd, FatDirectoryKept* kept = nullptr, bool shownCells = true);

}  // namespace qvx::engine

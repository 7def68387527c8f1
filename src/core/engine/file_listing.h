#pragma once
// The file list of the folder the user picked in the result tree: its
// sub-folders from the node list, then its files (NTFS from the items, FAT
// from the folder's directory on the disk).

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <span>
#include <vector>

#include "engine/recovery_state.h"
#include "records/file_list.h"
#include "records/folder_tree.h"

namespace qvx::engine {

/// Lookups that let a caller list every folder of a large tree without
/// scanning the node list once per folder. Build it after the
/// tree is complete; it stays valid while the tree and FileTable do not
/// change (renaming nodes is fine).
class VolumeReader;

class ListingIndex {
public:
    explicit ListingIndex(const RecoveryState& state);
    /// Nodes whose parent is parentId, in node-list order.
    std::span<const int> nodesWithParent(std::uint32_t parentId) const;

private:
    // Node indexes ordered by parent id (then by index), and the parent id
    // of each: eight bytes a folder, one lookup a listed folder.
    std::vector<std::uint32_t> m_parents;
    std::vector<int> m_nodes;
};

/// An NTFS folder's file items whose rows are made one at a time, as they
/// are written: a folder of hundreds of thousands of files then holds four
/// bytes a file instead of its whole list of rows.
struct LaterFiles {
    std::vector<std::uint32_t> items;
    bool insideDeleted = false;  // the listed folder is deleted: so is every row
};

struct ListingOptions {
    /// The listing thread of the window shows the current local date and
    /// time on "QVX_Miscellaneous"; every other path shows its stored values.
    bool miscShowsCurrentTime = false;
    const ListingIndex* index = nullptr;
    /// Off where rows are written out by their name, dates and typed fields
    /// (JSON, CSV, body files): the other texts of file rows are not made.
    bool shownCells = true;
    /// When set, an NTFS folder's file rows are left out of the list and
    /// their items put here instead (laterFileRow makes each row).
    LaterFiles* later = nullptr;
    /// The reader whose openFolder opened the listed folder: it may still
    /// hold what it read there. One is made for the call when null.
    VolumeReader* reader = nullptr;
};

/// Rows of the file list for the folder shown by item: folder rows first
/// (a folder is "Deleted FOLDER" when it or the listed folder is deleted,
/// and is then marked deleted in the node list), then the file rows.
records::FileList PopulateFileList(RecoveryState& state, records::TreeItemId item, const ListingOptions& options = {});

/// The row of the k-th file of later, as PopulateFileList would have made it.
records::FileListRow laterFileRow(const RecoveryState& state, const LaterFiles& later, std::size_t k,
                                  const ListingOptions& options);
/// The same for one of its items (later.items[k], later.insideDeleted), made
/// in a row kept from the last one made there with the same options.
void fillLaterFileRow(const RecoveryState& state, std::size_t item, bool insideDeleted, const ListingOptions& options,
                      records::FileListRow& row);

}  // namespace qvx::engine

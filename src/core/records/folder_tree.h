#pragma once
// The recovered folder tree: one FolderNode per folder shown, in insertion
// order, plus the tree items that show them (the root, file-system items
// after a raw scan, and folder items). Front ends mirror this model; the
// terminal prints it, the window's tree control copies it item by item.
// The tree is built from FolderTable once an analysis has collected every
// folder; it is kind-neutral (NTFS record numbers or FAT clusters as ids).

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "records/record_table.h"
#include "util/progress.h"

namespace qvx::records {

/// Folder identities shared by every stage.
inline constexpr std::uint32_t kNtfsRootId = 5;
inline constexpr std::uint32_t kFatRootId = 0;
/// The synthetic folder that collects orphans; never read from the disk.
inline constexpr std::uint32_t kMiscFolderId = 0x0FFFFFFF;
inline constexpr const char* kMiscFolderName = "QVX_Miscellaneous";

enum class VolumeKind { Ntfs, Fat16, Fat32 };

/// VolumeKind of "NTFS", "FAT16" or "FAT32"; NTFS for anything else.
VolumeKind volumeKindFromName(std::string_view fileSystemName);
/// The root folder's id: 5 on NTFS, 0 on FAT.
std::uint32_t rootIdOf(VolumeKind kind);

/// Check-box state of a tree item, as stored in the tree's state image.
enum class CheckState : std::uint8_t { Unchecked = 1, Checked = 2, Partial = 3 };

/// Tree images used by the folder tree.
enum TreeImage : int {
    kImageFileSystem = 0,
    kImageRoot = 2,
    kImageFolderVisited = 3,
    kImageFolder = 4,
    kImageFolderListed = 5,
};

using TreeItemId = int;
inline constexpr TreeItemId kNoItem = -1;
inline constexpr TreeItemId kRootItem = 0;

// Members are ordered largest first: a volume has one of each per folder,
// and padding between them was a tenth of their size.
struct TreeItem {
    std::string text;
    std::vector<TreeItemId> children;  // in insertion order: new items are last children
    TreeItemId parent = kNoItem;
    int image = kImageFolder;
    int node = -1;  // index into the node list, -1 for the root and file-system items
    CheckState check = CheckState::Unchecked;
};

struct FolderNode {
    std::string name;
    std::int64_t dateValue = 0;  // NTFS: creation FILETIME; FAT: low 16 bits the date word
    std::int64_t timeValue = 0;  // FAT: low 16 bits the time word
    TreeItemId treeItem = kNoItem;
    std::uint32_t selfId = 0;    // NTFS: MFT record number; FAT: first cluster
    std::uint32_t parentId = 0;  // self id of the parent folder
    bool expanded = false;       // own directory read (or nothing to read)
    bool deleted = false;
};

/// The folder nodes of the result tree and the tree items that show them.
/// Not thread-safe: one job writes it at a time; front ends read it after
/// the job has finished.
class FolderNodeList {
public:
    FolderNodeList();

    /// Discards every node and item and recreates an empty root. The "DIR_"
    /// counter is kept: it runs for the life of the program.
    void clear();

    /// Inserts a folder item as the last child of parentItem (image 4,
    /// unchecked, the root unchecked too) and appends its node.
    TreeItemId AddFolderNode(TreeItemId parentItem, std::string name, std::uint32_t selfId, std::int64_t dateValue,
                             std::int64_t timeValue, std::uint32_t parentId, bool deleted);
    /// Room for this many more folders, so that a large tree is not copied
    /// (and held twice) while it grows.
    void reserve(int moreFolders);
    /// Adds "File System N - KIND" under the root (after a raw scan).
    TreeItemId addFileSystemItem(std::string text);
    /// Gives the root the text "Root".
    void SetRootText();

    int count() const { return static_cast<int>(m_nodes.size()); }
    const std::vector<FolderNode>& nodes() const { return m_nodes; }
    FolderNode& node(int index) { return m_nodes.at(static_cast<std::size_t>(index)); }
    const FolderNode& node(int index) const { return m_nodes.at(static_cast<std::size_t>(index)); }

    int itemCount() const { return static_cast<int>(m_items.size()); }
    const TreeItem& item(TreeItemId id) const { return m_items.at(static_cast<std::size_t>(id)); }
    bool validItem(TreeItemId id) const { return id >= 0 && id < itemCount(); }
    /// Node shown by the item, or -1 (root, file-system items, unknown ids).
    int nodeOfItem(TreeItemId id) const;
    void setImage(TreeItemId id, int image);
    /// Gives a node (and its tree item) a new name, e.g. when its parent's
    /// directory has been read; marks it deleted when deleted is set.
    void renameNode(int index, std::string name, bool deleted);
    void setExpanded(int index, bool expanded) { node(index).expanded = expanded; }

    /// Texts of the item and its ancestors up to, not including, the root,
    /// outermost first, joined with separator ("\" in the window).
    std::string FolderPath(TreeItemId id, std::string_view separator = "\\") const;

    CheckState checkState(TreeItemId id) const;
    /// A click on the item's check box: a checked or partly checked item
    /// becomes unchecked with all its descendants, an unchecked one checked
    /// with all its descendants; then every ancestor is re-evaluated from its
    /// own children up to the top.
    void ToggleCheck(TreeItemId id);

    /// Next "DIR_%d" name for a folder without a name.
    std::string nextDirName();

private:
    void setSubtree(TreeItemId id, CheckState state);
    void reevaluateAncestors(TreeItemId id);

    std::vector<TreeItem> m_items;
    std::vector<FolderNode> m_nodes;
    int m_dirCounter = 0;
};

/// Folders deeper than this (counted from the first level) are shown under
/// "QVX_Miscellaneous" instead, with their subtrees.
inline constexpr int kMaxFolderDepth = 4096;

/// Builds the tree from FolderTable for the kind (FolderTable already
/// sorted on "parent"): the first level under the root, then the children
/// of every node in node-list order. Reports "Currently Enumerating N / M"
/// and the progress bar; stops between nodes when asked. Clears FolderTable
/// at the end, as the rows have moved into the tree.
void BuildFolderTree(VolumeKind kind, RecordTable& FolderTable, FolderNodeList& nodes, util::ProgressSink& progress,
                     std::stop_token stop = {});

/// Adds the FOLDER rows of FolderTable whose parent is parentId under
/// parentItem, last table row first (FolderTable sorted on "parent"), and
/// removes them from the table. Unnamed folders get "DIR_%d" names.
void AttachChildFolders(RecordTable& FolderTable, FolderNodeList& nodes, std::uint32_t parentId,
                        TreeItemId parentItem);

}  // namespace qvx::records

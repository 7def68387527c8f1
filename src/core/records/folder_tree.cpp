#include "records/folder_tree.h"

#include <algorithm>
#include <map>
#include <utility>

#include "records/tables.h"

namespace qvx::records {

VolumeKind volumeKindFromName(std::string_view fileSystemName) {
    if (fileSystemName == "FAT16") return VolumeKind::Fat16;
    if (fileSystemName == "FAT32") return VolumeKind::Fat32;
    return VolumeKind::Ntfs;
}

std::uint32_t rootIdOf(VolumeKind kind) { return kind == VolumeKind::Ntfs ? kNtfsRootId : kFatRootId; }

FolderNodeList::FolderNodeList() { clear(); }

void FolderNodeList::clear() {
    m_nodes.clear();
    m_items.clear();
    TreeItem root;
    root.image = kImageRoot;
    m_items.push_back(std::move(root));
}

TreeItemId FolderNodeList::AddFolderNode(TreeItemId parentItem, std::string name, std::uint32_t selfId,
                                         std::int64_t dateValue, std::int64_t timeValue, std::uint32_t parentId,
                                         bool deleted) {
    if (!validItem(parentItem)) parentItem = kRootItem;
    const TreeItemId id = itemCount();
    TreeItem item;
    item.text = name;
    item.parent = parentItem;
    item.image = kImageFolder;
    item.node = count();
    m_items.push_back(std::move(item));
    m_items[static_cast<std::size_t>(parentItem)].children.push_back(id);
    m_items[kRootItem].check = CheckState::Unchecked;

    FolderNode node;
    node.name = std::move(name);
    node.treeItem = id;
    node.selfId = selfId;
    node.parentId = parentId;
    node.dateValue = dateValue;
    node.timeValue = timeValue;
    node.deleted = deleted;
    m_nodes.push_back(std::move(node));
    return id;
}

void FolderNodeList::reserve(int moreFolders) {
    if (moreFolders <= 0) return;
    m_items.reserve(m_items.size() + static_cast<std::size_t>(moreFolders));
    m_nodes.reserve(m_nodes.size() + static_cast<std::size_t>(moreFolders));
}

TreeItemId FolderNodeList::addFileSystemItem(std::string text) {
    const TreeItemId id = itemCount();
    TreeItem item;
    item.text = std::move(text);
    item.parent = kRootItem;
    item.image = kImageFileSystem;
    m_items.push_back(std::move(item));
    m_items[kRootItem].children.push_back(id);
    return id;
}

void FolderNodeList::SetRootText() { m_items[kRootItem].text = "Root"; }

int FolderNodeList::nodeOfItem(TreeItemId id) const { return validItem(id) ? item(id).node : -1; }

void FolderNodeList::setImage(TreeItemId id, int image) {
    if (validItem(id)) m_items[static_cast<std::size_t>(id)].image = image;
}

void FolderNodeList::renameNode(int index, std::string name, bool deleted) {
    FolderNode& target = node(index);
    if (validItem(target.treeItem)) m_items[static_cast<std::size_t>(target.treeItem)].text = name;
    target.name = std::move(name);
    if (deleted) target.deleted = true;
}

std::string FolderNodeList::FolderPath(TreeItemId id, std::string_view separator) const {
    std::vector<const std::string*> parts;
    // Bounded by the item count: parents always precede their children.
    for (int guard = 0; validItem(id) && id != kRootItem && guard <= itemCount(); ++guard) {
        parts.push_back(&item(id).text);
        id = item(id).parent;
    }
    std::string path;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!path.empty() || it != parts.rbegin()) path += separator;
        path += **it;
    }
    return path;
}

CheckState FolderNodeList::checkState(TreeItemId id) const {
    return validItem(id) ? item(id).check : CheckState::Unchecked;
}

void FolderNodeList::setSubtree(TreeItemId id, CheckState state) {
    std::vector<TreeItemId> pending{id};
    while (!pending.empty()) {
        const TreeItemId current = pending.back();
        pending.pop_back();
        TreeItem& entry = m_items[static_cast<std::size_t>(current)];
        entry.check = state;
        pending.insert(pending.end(), entry.children.begin(), entry.children.end());
    }
}

void FolderNodeList::reevaluateAncestors(TreeItemId id) {
    for (TreeItemId parent = item(id).parent; validItem(parent); parent = item(parent).parent) {
        bool anyUnchecked = false;
        bool anyNotChecked = false;
        bool allUnchecked = true;
        for (TreeItemId child : item(parent).children) {
            const CheckState state = item(child).check;
            if (state == CheckState::Unchecked) anyUnchecked = true;
            if (state != CheckState::Checked) anyNotChecked = true;
            if (state != CheckState::Unchecked) allUnchecked = false;
        }
        CheckState next = CheckState::Partial;
        if (allUnchecked) next = CheckState::Unchecked;
        else if (!anyNotChecked && !anyUnchecked) next = CheckState::Checked;
        m_items[static_cast<std::size_t>(parent)].check = next;
    }
}

void FolderNodeList::ToggleCheck(TreeItemId id) {
    if (!validItem(id)) return;
    const CheckState before = item(id).check;
    setSubtree(id, before == CheckState::Unchecked ? CheckState::Checked : CheckState::Unchecked);
    reevaluateAncestors(id);
}

std::string FolderNodeList::nextDirName() { return "DIR_" + std::to_string(m_dirCounter++); }

namespace {

bool isFolderRow(const RecordTable& table, int row) { return table.cell(row, kType) == "FOLDER"; }

void addNodeFromRow(const RecordTable& table, FolderNodeList& nodes, int row, TreeItemId parentItem, bool fatDate) {
    std::string name(table.cell(row, kName));
    if (name.empty()) name = nodes.nextDirName();
    const std::int64_t dateValue = fatDate ? table.getI32(row, kDate) : table.getI64(row, kDate);
    const std::int64_t timeValue = fatDate ? table.getI32(row, kTime) : table.getI64(row, kTime);
    nodes.AddFolderNode(parentItem, std::move(name), static_cast<std::uint32_t>(table.getI32(row, kSelf)), dateValue,
                        timeValue, static_cast<std::uint32_t>(table.getI32(row, kParent)),
                        table.cell(row, kDeleted) == "1");
}

/// Rows of a table sorted on "parent", grouped by parent in table order.
/// Each group is handed out once, as the row deletions of the single-call
/// form make a second call for the same parent find nothing.
class ParentGroups {
public:
    explicit ParentGroups(const RecordTable& table) {
        for (int row = 0; row < table.rowCount(); ++row)
            m_groups[static_cast<std::uint32_t>(table.getI32(row, kParent))].push_back(row);
    }
    std::vector<int> take(std::uint32_t parentId) {
        auto it = m_groups.find(parentId);
        if (it == m_groups.end()) return {};
        std::vector<int> rows = std::move(it->second);
        m_groups.erase(it);
        return rows;
    }

private:
    std::map<std::uint32_t, std::vector<int>> m_groups;
};

}  // namespace

void AttachChildFolders(RecordTable& FolderTable, FolderNodeList& nodes, std::uint32_t parentId,
                        TreeItemId parentItem) {
    const int rows = FolderTable.rowCount();
    if (rows == 0) return;
    int low = 0;
    int high = rows - 1;
    int hit = -1;
    while (low <= high) {
        const int mid = low + (high - low) / 2;
        const auto value = static_cast<std::uint32_t>(FolderTable.getI32(mid, kParent));
        if (value == parentId) {
            hit = mid;
            break;
        }
        if (value < parentId) low = mid + 1;
        else high = mid - 1;
    }
    if (hit < 0) return;
    while (hit > 0 && static_cast<std::uint32_t>(FolderTable.getI32(hit - 1, kParent)) == parentId) --hit;
    for (int row = rows - 1; row >= hit; --row) {
        if (!isFolderRow(FolderTable, row)) continue;
        const auto value = static_cast<std::uint32_t>(FolderTable.getI32(row, kParent));
        if (value < parentId) break;
        if (value != parentId) continue;
        addNodeFromRow(FolderTable, nodes, row, parentItem, false);
        FolderTable.deleteRow(row);
    }
}

void BuildFolderTree(VolumeKind kind, RecordTable& FolderTable, FolderNodeList& nodes, util::ProgressSink& progress,
                     std::stop_token stop) {
    const bool fatDate = kind != VolumeKind::Ntfs;
    const std::uint32_t rootId = rootIdOf(kind);
    if (kind == VolumeKind::Ntfs) {
        for (int row = 0; row < FolderTable.rowCount(); ++row) {
            if (static_cast<std::uint32_t>(FolderTable.getI32(row, kParent)) == kMiscFolderId &&
                static_cast<std::uint32_t>(FolderTable.getI32(row, kSelf)) == kMiscFolderId)
                FolderTable.setCell(row, kParent, "5");
        }
    }
    nodes.reserve(FolderTable.rowCount());
    // The first level keeps its rows in the table: a folder whose own id is
    // the root's would list them again, exactly as the row-by-row walk does.
    for (int row = 0; row < FolderTable.rowCount(); ++row) {
        if (stop.stop_requested()) break;
        if (static_cast<std::uint32_t>(FolderTable.getI32(row, kParent)) != rootId) continue;
        if (kind == VolumeKind::Ntfs) {
            if (!isFolderRow(FolderTable, row)) continue;
            if (static_cast<std::uint32_t>(FolderTable.getI32(row, kSelf)) == kNtfsRootId) continue;
        }
        addNodeFromRow(FolderTable, nodes, row, kRootItem, fatDate);
    }
    nodes.SetRootText();

    // Children are attached from groups computed once instead of searching
    // and deleting rows per folder; the order and names are the same as
    // AttachChildFolders gives on the sorted table.
    ParentGroups groups(FolderTable);
    // Depth of every node (first level 1). A chain of folders deeper than
    // kMaxFolderDepth continues under "QVX_Miscellaneous", so paths, and
    // the memory of everything that walks them, stay bounded.
    std::vector<int> depth(static_cast<std::size_t>(nodes.count()), 1);
    TreeItemId miscItem = kRootItem;
    int miscDepth = 0;
    for (int index = 0; index < nodes.count(); ++index)
        if (nodes.node(index).selfId == kMiscFolderId) {
            miscItem = nodes.node(index).treeItem;
            miscDepth = 1;
            break;
        }
    int remaining = FolderTable.rowCount();
    int lastPercent = -1;
    int step = 0;
    for (int index = 0; index < nodes.count(); ++index) {
        if (stop.stop_requested()) break;
        const std::uint32_t selfId = nodes.node(index).selfId;
        const TreeItemId parentItem = nodes.node(index).treeItem;
        const std::vector<int> rows = groups.take(selfId);
        const bool tooDeep = depth[static_cast<std::size_t>(index)] >= kMaxFolderDepth;
        const TreeItemId childParent = tooDeep ? miscItem : parentItem;
        const int childDepth = tooDeep ? miscDepth + 1 : depth[static_cast<std::size_t>(index)] + 1;
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            const int row = *it;
            if (!isFolderRow(FolderTable, row)) continue;
            // The listing finds a folder's sub-folders by their parent id.
            if (tooDeep) FolderTable.setCell(row, kParent, std::to_string(kMiscFolderId));
            addNodeFromRow(FolderTable, nodes, row, childParent, false);
            depth.push_back(childDepth);
            --remaining;
        }
        while (index + 1 < nodes.count() && nodes.node(index + 1).selfId == selfId) ++index;
        ++step;
        progress.setStatusText("Currently Enumerating " + std::to_string(step) + " / " + std::to_string(remaining));
        const int percent = static_cast<int>(static_cast<std::int64_t>(step) * 100 / std::max(1, nodes.count()));
        if (percent > lastPercent) {
            lastPercent = percent;
            progress.setProgress(std::min(percent, 100), "Completed ");
        }
    }
    FolderTable.clear();
}

}  // namespace qvx::records

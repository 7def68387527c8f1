#include "records/lost_directories.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/tables.h"

namespace qvx::records {

namespace {

// The self column parsed once; the table is sorted on it, so the binary
// search below sees the values in the same order as searching the cells.
class SelfIndex {
public:
    SelfIndex(const RecordTable& table, int low) : m_low(low) {
        m_values.reserve(static_cast<std::size_t>(table.rowCount()));
        for (int row = 0; row < table.rowCount(); ++row) m_values.push_back(table.getI32(row, kSelf));
    }
    bool contains(std::int32_t value) const {
        int low = m_low;
        int high = static_cast<int>(m_values.size()) - 1;
        while (low <= high) {
            const int mid = low + (high - low) / 2;
            const std::int32_t here = m_values[static_cast<std::size_t>(mid)];
            if (here == value) return true;
            if (here < value) low = mid + 1;
            else high = mid - 1;
        }
        return false;
    }

private:
    std::vector<std::int32_t> m_values;
    int m_low;
};

/// Cuts every loop of parent links that never reaches the root (A's parent
/// B, B's parent A; a folder that is its own parent): the folder at which
/// the walk meets the loop again goes under "QVX_Miscellaneous", so the
/// loop's folders and everything below them stay in the tree. Each row is
/// walked once, so the whole pass is linear.
void breakParentLoops(RecordTable& table, std::uint32_t rootId) {
    const int n = table.rowCount();
    std::unordered_map<std::uint32_t, int> rowOfSelf;
    rowOfSelf.reserve(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r) rowOfSelf.emplace(table.getU32(r, kSelf), r);
    enum : std::uint8_t { kUnknown, kOnPath, kDone };
    std::vector<std::uint8_t> state(static_cast<std::size_t>(n), kUnknown);
    std::vector<int> path;
    std::vector<int> closing;
    const std::string orphanParent = std::to_string(kMiscFolderId);
    for (int start = 0; start < n; ++start) {
        path.clear();
        int r = start;
        while (state[static_cast<std::size_t>(r)] == kUnknown) {
            state[static_cast<std::size_t>(r)] = kOnPath;
            path.push_back(r);
            const std::uint32_t self = table.getU32(r, kSelf);
            const std::uint32_t parent = table.getU32(r, kParent);
            if (self == rootId || self == kMiscFolderId || parent == rootId) break;
            const auto it = rowOfSelf.find(parent);
            if (it == rowOfSelf.end()) break;
            if (state[static_cast<std::size_t>(it->second)] == kOnPath) {
                closing.push_back(r);
                break;
            }
            r = it->second;
        }
        for (int p : path) state[static_cast<std::size_t>(p)] = kDone;
    }
    for (int r : closing) table.setCell(r, kParent, orphanParent);
}

}  // namespace

void FindLostDirectories(VolumeKind kind, RecordTable& FolderTable, RecordTable* FileTable,
                         util::ProgressSink& progress, std::stop_token stop) {
    const std::int32_t rootId = static_cast<std::int32_t>(rootIdOf(kind));
    // On NTFS the first row, the root record, is not searched.
    const SelfIndex index(FolderTable, kind == VolumeKind::Ntfs ? 1 : 0);
    const std::string orphanParent = std::to_string(kMiscFolderId);

    const int n = FolderTable.rowCount();
    for (int i = 0; i < n; ++i) {
        if (stop.stop_requested()) return;
        const std::int32_t parent = FolderTable.getI32(i, kParent);
        if (parent != rootId && !index.contains(parent)) FolderTable.setCell(i, kParent, orphanParent);
        if (i > 0) {
            progress.setStatusText("Searching Lost Directories " + std::to_string(i) + "/" + std::to_string(n));
            progress.setProgress(static_cast<int>(std::min<std::int64_t>(100, std::int64_t{i} * 100 / n)),
                                 "Completed ");
        }
    }
    // FAT breaks its loops itself, with the directory entries that tell the
    // true parent; NTFS records give no second opinion.
    if (kind == VolumeKind::Ntfs) breakParentLoops(FolderTable, rootIdOf(kind));
    if (FileTable == nullptr) return;
    for (int i = 0; i < FileTable->rowCount(); ++i) {
        if ((i & 0xFFF) == 0 && stop.stop_requested()) return;
        const std::int32_t parent = FileTable->getI32(i, kParent);
        if (parent != rootId && !index.contains(parent)) FileTable->setCell(i, kParent, orphanParent);
    }
}

}  // namespace qvx::records

namespace qvx::records {

KnownParents::KnownParents(VolumeKind kind, const RecordTable& FolderTable) : m_root(rootIdOf(kind)) {
    m_folders.reserve(static_cast<std::size_t>(FolderTable.rowCount()));
    for (int row = 0; row < FolderTable.rowCount(); ++row) m_folders.push_back(FolderTable.getU32(row, kSelf));
    std::sort(m_folders.begin(), m_folders.end());
}

bool KnownParents::contains(std::uint64_t parent) const {
    return parent == m_root || std::binary_search(m_folders.begin(), m_folders.end(), parent);
}

void reparentOrphanItems(VolumeKind kind, const RecordTable& FolderTable, ItemStore& items, std::stop_token stop) {
    const KnownParents known(kind, FolderTable);
    std::vector<std::size_t> orphans;
    items.forEachBrief([&](std::size_t i, const ItemStore::Brief& it) {
        if (!it.isFolder() && !known.contains(it.parent)) orphans.push_back(i);
    });
    // Last first: an item that others read from gives them fields of their
    // own before it changes, and orphans that come after it have then
    // already been written whole, so no item is written twice.
    for (std::size_t k = orphans.size(); k-- > 0;) {
        if (((orphans.size() - k) & 0xFFF) == 0 && stop.stop_requested()) break;
        items.setParent(orphans[k], kMiscFolderId);
    }
    items.invalidateIndexes();
}

bool finishFolderTree(VolumeKind kind, RecordTable& FolderTable, const FolderTreeSteps& steps,
                      util::ProgressSink& progress, std::stop_token stop) {
    progress.setStatusText("Searching Lost Directories. Please Wait...");
    if (steps.pleaseWait) progress.setHelpText("Please wait...");
    FolderTable.sortByColumn(kSelf);
    FindLostDirectories(kind, FolderTable, nullptr, progress, stop);
    if (steps.items != nullptr) reparentOrphanItems(kind, FolderTable, *steps.items, stop);
    if (stop.stop_requested()) return false;
    if (steps.breakCycles) steps.breakCycles(FolderTable);
    progress.setStatusText("Storing Directory Information. Please Wait...");
    FolderTable.sortByColumn(kParent);
    if (steps.nameRoots) steps.nameRoots(FolderTable);
    // The table was grown row by row; the tree is built beside it.
    FolderTable.shrinkToFit();
    if (steps.nodes != nullptr) BuildFolderTree(kind, FolderTable, *steps.nodes, progress, stop);
    return !stop.stop_requested();
}

}  // namespace qvx::records

#include "engine/file_listing.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "engine/fat_listing.h"
#include "engine/volume_reader.h"
#include "ntfs/ntfs_file_rows.h"

namespace qvx::engine {

ListingIndex::ListingIndex(const RecoveryState& state) {
    const auto& nodes = state.FolderNodeList.nodes();
    m_nodes.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) m_nodes[i] = static_cast<int>(i);
    std::stable_sort(m_nodes.begin(), m_nodes.end(), [&nodes](int a, int b) {
        return nodes[static_cast<std::size_t>(a)].parentId < nodes[static_cast<std::size_t>(b)].parentId;
    });
    m_parents.reserve(m_nodes.size());
    for (const int i : m_nodes) m_parents.push_back(nodes[static_cast<std::size_t>(i)].parentId);
}

std::span<const int> ListingIndex::nodesWithParent(std::uint32_t parentId) const {
    const auto [first, last] = std::equal_range(m_parents.begin(), m_parents.end(), parentId);
    return std::span<const int>(m_nodes).subspan(static_cast<std::size_t>(first - m_parents.begin()),
                                                 static_cast<std::size_t>(last - first));
}

namespace {

void currentLocalTimeTexts(std::string& date, std::string& time) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "%d-%b-%Y", &local);
    date = text;
    std::strftime(text, sizeof text, "%H:%M", &local);
    time = text;
}

records::FileListRow folderRow(const records::FolderNode& node, bool ntfs, bool deleted, bool showNow) {
    using namespace records;
    FileListRow row;
    row.isFolder = true;
    row.deleted = deleted;
    row.selfId = node.selfId;
    row.parentId = node.parentId;
    row.treeItem = node.treeItem;
    row.cells[kListName] = node.name;
    row.cells[kListType] = deleted ? "Deleted FOLDER" : "FOLDER";
    row.cells[kListSize] = "0";
    if (showNow && node.name == kMiscFolderName) {
        currentLocalTimeTexts(row.cells[kListDate], row.cells[kListTime]);
    } else if (ntfs) {
        row.cells[kListDate] = ntfsDateText(node.dateValue);
        row.cells[kListTime] = ntfsTimeText(node.dateValue);
    } else {
        row.cells[kListDate] = fatDateText(static_cast<std::uint16_t>(node.dateValue & 0xFFFF));
        row.cells[kListTime] = fatTimeText(static_cast<std::uint16_t>(node.timeValue & 0xFFFF));
    }
    row.cells[kListDebug1] = std::to_string(node.selfId);
    row.cells[kListDebug2] = std::to_string(node.parentId);
    row.cells[kListDebug3] = std::to_string(node.treeItem);
    return row;
}

}  // namespace

records::FileList PopulateFileList(RecoveryState& state, records::TreeItemId item, const ListingOptions& options) {
    const records::VolumeKind kind = records::volumeKindFromName(state.ActiveVolume.fileSystemName);
    const bool ntfs = kind == records::VolumeKind::Ntfs;
    records::FolderNodeList& nodes = state.FolderNodeList;

    std::uint32_t target = records::rootIdOf(kind);
    bool parentDeleted = false;
    if (const int index = nodes.nodeOfItem(item); index >= 0) {
        target = nodes.node(index).selfId;
        parentDeleted = nodes.node(index).deleted;
    }

    records::FileList list;
    auto addFolder = [&](int index) {
        records::FolderNode& node = nodes.node(index);
        if (node.parentId != target) return;
        const bool deleted = node.deleted || parentDeleted;
        if (deleted) node.deleted = true;
        records::FileListRow row = folderRow(node, ntfs, deleted, options.miscShowsCurrentTime);
        if (node.selfId != records::kMiscFolderId) {
            if (ntfs) {
                const std::size_t at = state.items.folderOf(node.selfId);
                if (at != records::ItemStore::kNone) {
                    row.item = at;
                    row.times = state.items[at].times;
                    row.hasTimes = true;
                }
            } else {
                row.times.modified = records::fatToFileTime(static_cast<std::uint16_t>(node.dateValue & 0xFFFF),
                                                            static_cast<std::uint16_t>(node.timeValue & 0xFFFF));
                row.hasTimes = row.times.modified != 0;
                row.localTimes = true;
            }
        }
        list.push_back(std::move(row));
    };
    if (options.index != nullptr) {
        for (int index : options.index->nodesWithParent(target)) addFolder(index);
    } else {
        for (int index = 0; index < nodes.count(); ++index) addFolder(index);
    }

    // NTFS rows come from the items, FAT rows from the folder's directory.
    if (ntfs && options.later != nullptr) {
        options.later->items = state.items.filesOf(target);
        options.later->insideDeleted = parentDeleted;
    } else {
        if (options.reader != nullptr)
            options.reader->listFiles(state, list, target, list.size(), options.shownCells);
        else
            volumeReaderFor(state)->listFiles(state, list, target, list.size(), options.shownCells);
    }
    // Everything below a deleted folder is deleted.
    if (parentDeleted)
        for (records::FileListRow& row : list) {
            row.deleted = true;
            if (row.isFolder) row.cells[records::kListType] = "Deleted FOLDER";
        }
    return list;
}

records::FileListRow laterFileRow(const RecoveryState& state, const LaterFiles& later, std::size_t k,
                                  const ListingOptions& options) {
    records::FileListRow row;
    fillLaterFileRow(state, later.items[k], later.insideDeleted, options, row);
    return row;
}

void fillLaterFileRow(const RecoveryState& state, std::size_t item, bool insideDeleted, const ListingOptions& options,
                      records::FileListRow& row) {
    ntfs::fillNtfsFileRow(state.items, item, row, options.shownCells);
    if (insideDeleted) row.deleted = true;
}

}  // namespace qvx::engine

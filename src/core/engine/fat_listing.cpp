#include "engine/fat_listing.h"

#include <algorithm>

#include "engine/file_listing.h"
#include "fat/folder_listing.h"

namespace qvx::engine {

fat::FatVolume activeFatVolume(const RecoveryState& state) {
    fat::FatVolume v = fat::makeFatVolume(state.ActiveVolume.fileSystemName, state.ActiveVolume.params, state.volumeRange());
    v.codePage = state.oemCodePage;
    return v;
}

void readFatFolderDirectory(RecoveryState& state, int nodeIndex, const ListingIndex* index, FatDirectoryKept* keep) {
    if (keep != nullptr) keep->held = false;
    records::FolderNodeList& nodes = state.FolderNodeList;
    if (nodeIndex < 0 || nodeIndex >= nodes.count()) return;
    const std::uint32_t self = nodes.node(nodeIndex).selfId;
    nodes.node(nodeIndex).expanded = true;
    if (self == records::kMiscFolderId) return;
    fat::FatVolume volume = activeFatVolume(state);
    if (!volume.isFat()) return;
    if (keep != nullptr) volume.fatSectors = keep->fatSectors;

    std::vector<fat::SubfolderName> names;
    if (keep != nullptr && self != 0) {
        keep->problems.clear();
        keep->directory = fat::readDirectory(volume, self, &keep->problems);
        keep->cluster = self;
        keep->held = true;
        names = fat::subfolderNamesOf(keep->directory);
    } else {
        names = fat::readSubfolderNames(volume, self);
    }
    for (const fat::SubfolderName& entry : names) {
        auto matches = [&](int i) {
            const records::FolderNode& n = nodes.node(i);
            return n.selfId == entry.self && n.parentId == self;
        };
        int target = -1;
        if (index != nullptr) {
            for (int i : index->nodesWithParent(self))
                if (matches(i)) { target = i; break; }
        } else {
            for (int i = 0; i < nodes.count(); ++i)
                if (matches(i)) { target = i; break; }
        }
        if (target >= 0) nodes.renameNode(target, entry.name, entry.deleted);
    }
}

void fillFatFileRows(RecoveryState& state, records::FileList& list, std::uint32_t target, std::size_t folderRowsEnd,
                     FatDirectoryKept* kept, bool shownCells) {
    const bool useKept = kept != nullptr && kept->held && kept->cluster == target;
    if (kept != nullptr) kept->held = false;
    if (target == records::kMiscFolderId) return;
    fat::FatVolume volume = activeFatVolume(state);
    if (!volume.isFat()) return;
    if (kept != nullptr) volume.fatSectors = kept->fatSectors;
    const std::uint32_t directory = target == 0 && volume.isFat32() ? volume.params.rootCluster() : target;
    if (target == 0 && !volume.isFat32() && !volume.isFat16()) return;
    const bool root16 = target == 0 && volume.isFat16();
    const records::FileTypeVariant variant =
        root16 ? records::FileTypeVariant::Fat16Root : records::FileTypeVariant::FatClusterChain;
    records::FileList folders;
    // Folder rows already listed, by cluster and name.
    std::vector<std::pair<std::uint32_t, std::string>> known;
    for (std::size_t i = 0; i < folderRowsEnd && i < list.size(); ++i)
        known.emplace_back(list[i].selfId, list[i].cells[records::kListName]);
    fat::FatDirectory read;
    if (useKept) {
        read = std::move(kept->directory);
        state.diagnostics.merge(kept->problems);
    } else {
        read = fat::readDirectory(volume, root16 ? 0 : directory, &state.diagnostics);
    }
    for (const fat::FatDirEntry& e : read.entries) {
        if (!e.directory) {
            list.push_back(fat::fatFileRow(e, directory, variant, shownCells));
            continue;
        }
        // An entry whose cluster a listed folder has is that folder, unless it
        // is a deleted entry of another name: a folder deleted before its
        // cluster went to the one listed.
        const auto match = std::find_if(known.begin(), known.end(), [&](const auto& k) {
            return k.first == e.firstCluster && (k.second == e.name || !e.deleted);
        });
        if (match != known.end()) {
            // The folder's row takes the times and place of its entry here,
            // which the tree's node does not keep.
            const auto at = static_cast<std::size_t>(match - known.begin());
            if (at < folderRowsEnd && at < list.size() && list[at].entrySector == 0) {
                const records::FileListRow entryRow = fat::fatFileRow(e, directory, variant);
                list[at].times = entryRow.times;
                list[at].hasTimes = entryRow.hasTimes;
                list[at].localTimes = true;
                list[at].entrySector = entryRow.entrySector;
                list[at].entryOffset = entryRow.entryOffset;
                list[at].attributes = entryRow.attributes;
            }
            continue;
        }
        known.emplace_back(e.firstCluster, e.name);
        // A folder entry whose directory the scan did not find: listed, but
        // there is nothing below it to open.
        records::FileListRow row = fat::fatFileRow(e, directory, variant);
        row.isFolder = true;
        row.cells[records::kListType] = e.deleted ? "Deleted FOLDER" : "FOLDER";
        row.cells[records::kListSize] = "0";
        row.sizeBytes = 0;
        folders.push_back(std::move(row));
    }
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(std::min(folderRowsEnd, list.size())), folders.begin(),
                folders.end());
}

}  // namespace qvx::engine

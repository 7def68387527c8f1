#include "engine/fat_listing.h"

#include "engine/file_listing.h"
#include "fat/folder_listing.h"

namespace qvx::engine {

fat::FatVolume activeFatVolume(const RecoveryState& state) {
    return fat::makeFatVolume(state.ActiveVolume.fileSystemName, state.ActiveVolume.params, state.volumeRange());
}

void readFatFolderDirectory(RecoveryState& state, int nodeIndex, const ListingIndex* index) {
    records::FolderNodeList& nodes = state.FolderNodeList;
    if (nodeIndex < 0 || nodeIndex >= nodes.count()) return;
    const std::uint32_t self = nodes.node(nodeIndex).selfId;
    nodes.node(nodeIndex).expanded = true;
    if (self == records::kMiscFolderId) return;
    const fat::FatVolume volume = activeFatVolume(state);
    if (!volume.isFat()) return;

    for (const fat::SubfolderName& entry : fat::readSubfolderNames(volume, self)) {
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

void fillFatFileRows(const RecoveryState& state, records::FileList& list, std::uint32_t target) {
    if (target == records::kMiscFolderId) return;
    const fat::FatVolume volume = activeFatVolume(state);
    fat::ListFatFiles(volume, list, target);
}

}  // namespace qvx::engine

#include "fat/folder_listing.h"

#include <array>
#include <unordered_map>

#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "records/file_types.h"

namespace qvx::fat {

namespace {

using Sector = std::array<std::uint8_t, disk::kSectorSize>;

bool clusterSizeUsable(const FatVolume& v) {
    const std::uint32_t spc = v.params.sectorsPerCluster;
    return spc != 0 && spc <= 128;
}

// Visits every sector of the directory chained from firstCluster in order;
// visit returns false to stop.
template <typename Visit>
void forEachChainSector(const FatVolume& v, std::uint32_t firstCluster, Visit visit) {
    if (!clusterSizeUsable(v)) return;
    for (std::uint32_t cluster : BuildClusterChain(v, firstCluster)) {
        for (std::uint32_t i = 0; i < v.params.sectorsPerCluster; ++i)
            if (!visit(v.clusterSector(cluster) + i)) return;
    }
}

}  // namespace

int NameSubfoldersFromSector(const FatVolume& v, std::uint64_t s, std::uint32_t /*parentSelf*/,
                             const SubfolderNameSink& sink) {
    Sector buf{};
    v.read(s, 1, buf.data());
    const util::Bytes sector(buf);
    const bool fat32 = v.isFat32();
    for (std::uint32_t i = 0; i < kEntriesPerSector; ++i) {
        const DirEntry e = entryAt(sector, i);
        if (e.endsDirectory()) return 0;
        // Only folder entries can name a sub-folder; a file whose (deleted)
        // entry still names a cluster now used by a folder must not rename it.
        if (e.isDot() || e.isLongName() || !e.isDirectory()) continue;
        const DecodedName n = DecodeEntryName(v, sector, i, s);
        if (!n.valid) continue;
        if (sink) sink(e.firstCluster(fat32), n.name, n.deleted);
    }
    return 1;
}

std::vector<SubfolderName> readSubfolderNames(const FatVolume& v, std::uint32_t folderSelf) {
    std::vector<SubfolderName> names;
    if (!v.isFat() || folderSelf == 0 || folderSelf == kMiscellaneousId) return names;
    std::unordered_map<std::uint32_t, std::size_t> index;
    const SubfolderNameSink sink = [&](std::uint32_t self, const std::string& name, bool deleted) {
        const auto [it, inserted] = index.emplace(self, names.size());
        if (inserted) {
            names.push_back({self, name, deleted});
            return;
        }
        SubfolderName& known = names[it->second];
        if (deleted && !known.deleted) return;
        known.name = name;
        known.deleted = deleted;
    };
    forEachChainSector(v, folderSelf, [&](std::uint64_t lba) {
        return NameSubfoldersFromSector(v, lba, folderSelf, sink) == 1;
    });
    return names;
}

void ListFatFiles(const FatVolume& v, records::FileList& list, std::uint32_t folderId) {
    if (!v.isFat()) return;
    const bool fat32 = v.isFat32();
    if (folderId == 0 && fat32) folderId = v.params.rootStart;
    if (folderId == kMiscellaneousId) return;
    const std::uint32_t listedFolder = folderId;

    // Returns false at the entry that ends the directory.
    auto listSector = [&](std::uint64_t lba, records::FileTypeVariant variant) {
        Sector buf{};
        v.read(lba, 1, buf.data());
        const util::Bytes sector(buf);
        for (std::uint32_t i = 0; i < kEntriesPerSector; ++i) {
            const DirEntry e = entryAt(sector, i);
            if (e.endsDirectory()) return false;
            if (e.isDot() || e.isLongName() || e.isDirectory()) continue;
            const DecodedName n = DecodeEntryName(v, sector, i, lba);
            if (!n.valid) continue;
            records::FileListRow row;
            row.cells[records::kListName] = n.name;
            row.cells[records::kListType] = records::LookupFileType(n.name, variant);
            row.cells[records::kListSize] = std::to_string(e.size());
            row.cells[records::kListDate] = records::fatDateText(e.date());
            row.cells[records::kListTime] = records::fatTimeText(e.time());
            row.cells[records::kListDebug1] = std::to_string(e.firstCluster(fat32));
            row.deleted = n.deleted;
            row.selfId = e.firstCluster(fat32);
            row.parentId = listedFolder;
            row.sizeBytes = e.size();
            list.push_back(std::move(row));
        }
        return true;
    };

    if (folderId != 0) {
        forEachChainSector(v, folderId, [&](std::uint64_t lba) {
            return listSector(lba, records::FileTypeVariant::FatClusterChain);
        });
        return;
    }
    if (!v.isFat16() || v.params.rootStart == 0) return;
    // In the fixed root region an entry that ends the directory ends only
    // its own sector; the following root sectors are still read.
    for (std::uint32_t l = 0; l < v.params.rootSectors; ++l)
        listSector(static_cast<std::uint64_t>(v.params.rootStart) + l, records::FileTypeVariant::Fat16Root);
}

}  // namespace qvx::fat

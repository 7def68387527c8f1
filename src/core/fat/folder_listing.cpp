#include "fat/folder_listing.h"

#include <array>
#include <unordered_map>

#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "fat/directory.h"
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
    if (!v.isFat() || folderSelf == 0 || folderSelf == kMiscellaneousId) return {};
    return subfolderNamesOf(readDirectory(v, folderSelf));
}

std::vector<SubfolderName> subfolderNamesOf(const FatDirectory& directory) {
    std::vector<SubfolderName> names;
    std::unordered_map<std::uint32_t, std::size_t> index;
    for (const FatDirEntry& e : directory.entries) {
        if (!e.directory) continue;
        const auto [it, inserted] = index.emplace(e.firstCluster, names.size());
        if (inserted) {
            names.push_back({e.firstCluster, e.name, e.deleted});
            continue;
        }
        SubfolderName& known = names[it->second];
        if (e.deleted && !known.deleted) continue;
        known.name = e.name;
        known.deleted = e.deleted;
    }
    return names;
}

records::FileListRow fatFileRow(const FatDirEntry& e, std::uint32_t listedFolder, records::FileTypeVariant variant,
                                bool shownCells) {
    records::FileListRow row;
    row.cells[records::kListName] = e.name;
    if (shownCells) {
        row.cells[records::kListType] = e.volumeLabel ? "Volume Label" : records::LookupFileType(e.name, variant);
        row.cells[records::kListSize] = std::to_string(e.size);
        row.cells[records::kListDebug1] = std::to_string(e.firstCluster);
    }
    row.cells[records::kListDate] = records::fatDateText(e.writeDate);
    row.cells[records::kListTime] = records::fatTimeText(e.writeTime);
    row.deleted = e.deleted;
    row.selfId = e.firstCluster;
    row.parentId = listedFolder;
    row.sizeBytes = e.size;
    row.volumeLabel = e.volumeLabel;
    row.attributes = e.attributes;
    row.hasTimes = true;
    row.localTimes = true;
    row.times.modified = records::fatToFileTime(e.writeDate, e.writeTime);
    row.times.created = records::fatToFileTime(e.createDate, e.createTime, e.createTenths);
    row.times.accessed = records::fatToFileTime(e.accessDate, 0);
    row.entrySector = e.lba;
    row.entryOffset = e.offset;
    return row;
}

void ListFatFiles(const FatVolume& v, records::FileList& list, std::uint32_t folderId, util::Diagnostics* diagnostics) {
    if (!v.isFat()) return;
    if (folderId == 0 && v.isFat32()) folderId = v.params.rootCluster();
    if (folderId == kMiscellaneousId) return;
    const bool root16 = folderId == 0;
    if (root16 && !v.isFat16()) return;
    const records::FileTypeVariant variant =
        root16 ? records::FileTypeVariant::Fat16Root : records::FileTypeVariant::FatClusterChain;
    for (const FatDirEntry& e : readDirectory(v, folderId, diagnostics).entries) {
        if (e.directory) continue;
        list.push_back(fatFileRow(e, folderId, variant));
    }
}

}  // namespace qvx::fat

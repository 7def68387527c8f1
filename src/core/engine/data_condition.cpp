#include "engine/data_condition.h"

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/fat_listing.h"
#include "engine/volume_reader.h"
#include "fat/cluster_chain.h"
#include "fat/directory.h"
#include "ntfs/standard_search.h"
#include "recover/fat_data.h"
#include "recover/ntfs_data.h"

namespace qvx::engine {

namespace {

// The $Bitmap file's fixed MFT record.
constexpr std::uint64_t kBitmapRecord = 6;
// Bounds on the walk of a FAT volume's live tree for owners of clusters.
constexpr std::size_t kMaxOwnerEntries = 1u << 22;
constexpr std::size_t kMaxOwnerDepth = 256;
// Bound on the clusters tested for one item (a 1 TiB file of 4 KiB clusters).
constexpr std::uint64_t kMaxTestedClusters = std::uint64_t{1} << 28;

/// What tells the cache's volume and tree apart from another's.
struct VolumeKey {
    std::string fileSystem;
    std::uint64_t first = 0, last = 0, cluster0 = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::size_t items = 0;
    int nodes = 0;
    bool operator==(const VolumeKey&) const = default;
    /// Compared on every call: no copy of the state's strings.
    bool matches(const RecoveryState& state) const {
        return first == state.SectorRangeStart && last == state.SectorRangeEnd &&
               cluster0 == state.ActiveVolume.params.cluster0Start &&
               sectorsPerCluster == state.ActiveVolume.params.sectorsPerCluster && items == state.items.size() &&
               nodes == state.FolderNodeList.count() && fileSystem == state.ActiveVolume.fileSystemName;
    }
};

VolumeKey keyOf(const RecoveryState& state) {
    return VolumeKey{state.ActiveVolume.fileSystemName,
                     state.SectorRangeStart,
                     state.SectorRangeEnd,
                     state.ActiveVolume.params.cluster0Start,
                     state.ActiveVolume.params.sectorsPerCluster,
                     state.items.size(),
                     state.FolderNodeList.count()};
}

bool isNtfs(const RecoveryState& state) {
    return records::volumeKindFromName(state.ActiveVolume.fileSystemName) == records::VolumeKind::Ntfs;
}

/// A plain FAT volume label names the volume and owns no data.
bool plainLabel(const records::FileListRow& row) { return row.volumeLabel && (row.selfId < 2 || row.sizeBytes == 0); }

}  // namespace

class ConditionCache {
public:
    explicit ConditionCache(RecoveryState& state)
        : m_key(keyOf(state)), m_ntfs(isNtfs(state)), m_cluster0(state.ActiveVolume.params.cluster0Start),
          m_sectorsPerCluster(state.ActiveVolume.params.sectorsPerCluster) {}

    const VolumeKey& key() const { return m_key; }

    /// The clusters of a located layout (sparse runs hold none).
    std::vector<records::ClusterRun> clustersOf(const recover::FileLayout& layout, bool& outside) const {
        std::vector<records::ClusterRun> out;
        if (m_sectorsPerCluster == 0) return out;
        for (const recover::Extent& e : layout.extents) {
            if (e.sparse || e.sectors == 0) continue;
            if (e.lba < m_cluster0) {
                outside = true;
                continue;
            }
            const std::uint64_t first = (e.lba - m_cluster0) / m_sectorsPerCluster;
            const std::uint64_t end = (e.lba - m_cluster0 + e.sectors + m_sectorsPerCluster - 1) / m_sectorsPerCluster;
            out.push_back(records::ClusterRun{first, end - first});
        }
        return out;
    }

    records::DataCondition evaluate(RecoveryState& state, const std::vector<records::ClusterRun>& runs,
                                    bool outside) {
        records::DataCondition out;
        if (m_sectorsPerCluster == 0 || !readAllocation(state)) {
            out.kind = records::DataConditionKind::Unknown;
            return out;
        }
        bool unreadable = outside;
        // Runs whose clusters are (partly) reused, for naming owners.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> reusedRanges;
        for (const records::ClusterRun& r : runs) {
            // Runs of a damaged record may repeat the volume many times over.
            if (r.clusterCount > kMaxTestedClusters - std::min(out.totalClusters, kMaxTestedClusters)) {
                out = {};
                out.kind = records::DataConditionKind::Unknown;
                return out;
            }
            std::uint64_t reusedHere = 0;
            for (std::uint64_t i = 0; i < r.clusterCount; ++i) {
                const int a = allocated(r.firstCluster + i);
                if (a < 0) unreadable = true;
                if (a != 0) ++reusedHere;
            }
            out.totalClusters += r.clusterCount;
            out.reusedClusters += reusedHere;
            if (reusedHere != 0) reusedRanges.emplace_back(r.firstCluster, r.clusterCount);
        }
        if (unreadable && out.reusedClusters == 0) {
            out.kind = records::DataConditionKind::Unknown;
            return out;
        }
        out.kind = records::conditionOfClusters(out.reusedClusters, out.totalClusters);
        if (!reusedRanges.empty()) nameOwners(state, reusedRanges, out.reusedBy);
        return out;
    }

    std::map<std::pair<std::uint64_t, std::uint64_t>, records::DataCondition> results;
    std::unique_ptr<VolumeReader> reader;

private:
    /// 1 allocated, 0 free, -1 not known (counted as reused: recovery cannot
    /// vouch for it either).
    int allocated(std::uint64_t cluster) {
        if (m_ntfs) {
            const std::uint64_t byte = cluster / 8;
            if (byte >= m_bitmap.size()) return -1;
            return (m_bitmap[static_cast<std::size_t>(byte)] >> (cluster % 8)) & 1;
        }
        if (cluster < 2 || cluster > m_fat->maxCluster()) return -1;
        const std::uint32_t entry = m_fatEntries->entry(static_cast<std::uint32_t>(cluster));
        if (entry == 0xFFFFFFFFu) return -1;
        return entry != 0 ? 1 : 0;
    }

    bool readAllocation(RecoveryState& state) {
        if (m_allocationRead) return m_allocationOk;
        m_allocationRead = true;
        ensureMftRunTable(state);
        if (!m_ntfs) {
            m_fat = std::make_unique<fat::FatVolume>(activeFatVolume(state));
            if (!m_fat->isFat() || m_fat->maxCluster() < 2) return false;
            m_fatEntries = std::make_unique<recover::FatEntryReader>(*m_fat);
            // A FAT whose first sector cannot be read gives nothing to test.
            m_allocationOk = m_fatEntries->entry(0) != 0xFFFFFFFFu;
            return m_allocationOk;
        }
        // $Bitmap through the same record and run decoding as any file:
        // one bit per cluster, cluster 0 in the low bit of byte 0.
        recover::NtfsVolume volume = ntfsVolume(state);
        // A tree found by the raw scan knows where record 6 lies even when
        // the MFT's own runs are not known.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
        for (std::size_t i = 0; i < state.items.size(); ++i)
            if (const records::Item& it = state.items[i]; it.record == kBitmapRecord && it.sector != 0) {
                seen.emplace_back(kBitmapRecord, it.sector);
                break;
            }
        volume.recordSectors = &seen;
        const recover::NtfsFileData d = recover::readNtfsFileData(volume, kBitmapRecord);
        if (!d.found || !d.complete || d.layout.size == 0) return false;
        // A cluster count the $Bitmap cannot describe is a broken record.
        if (volume.volumeClusters != 0 && d.layout.size > volume.volumeClusters / 8 + 4096) return false;
        recover::MemorySink sink;
        const recover::CopyResult copy = recover::copyFile(state.volumeRange(), d.layout, sink);
        if (!copy.complete()) return false;
        m_bitmap = std::move(sink.bytes);
        m_allocationOk = true;
        return true;
    }

    recover::NtfsVolume ntfsVolume(const RecoveryState& state) const {
        recover::NtfsVolume v;
        v.range = state.volumeRange();
        v.cluster0 = m_cluster0;
        v.sectorsPerCluster = m_sectorsPerCluster;
        v.mft = &state.mftRunTable;
        if (m_sectorsPerCluster != 0 && state.SectorRangeEnd > state.SectorRangeStart)
            v.volumeClusters = (state.SectorRangeEnd - state.SectorRangeStart + 1) / m_sectorsPerCluster;
        return v;
    }

    void nameOwners(RecoveryState& state, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
                    std::vector<std::string>& names) {
        std::vector<std::uint64_t> owners;
        const records::ClusterOwnerIndex& index = m_ntfs ? ntfsOwners(state) : fatOwners();
        if (!index.built()) return;
        for (const auto& [first, count] : ranges) index.ownersOf(first, count, owners, records::kMaxReusedBy);
        for (std::uint64_t owner : owners) {
            if (m_ntfs) {
                const std::size_t at = itemOfRecord(state, owner);
                names.push_back(at == records::ItemStore::kNone ? "record " + std::to_string(owner)
                                                                : itemPath(state, at));
            } else if (owner < m_fatOwnerPaths.size()) {
                names.push_back(m_fatOwnerPaths[static_cast<std::size_t>(owner)]);
            }
        }
    }

    const records::ClusterOwnerIndex& ntfsOwners(RecoveryState& state) {
        // A tree loaded from a session log (or found by a raw scan) came
        // without the walk's index: one walk of the MFT makes it.
        if (!state.walkRuns.live.built() && !m_ownersTried && state.mftRunTable.runCount() != 0) {
            m_ownersTried = true;
            (void)ntfs::collectLiveClusters(state.volumeRange(), state.mftRunTable, m_sectorsPerCluster,
                                            state.walkRuns.live, {});
        }
        return state.walkRuns.live;
    }

    /// The path of an NTFS item as the tree shows it ("Docs/a.txt"): its
    /// name below the folders of the node list.
    std::string itemPath(const RecoveryState& state, std::size_t index) {
        const records::FolderNodeList& nodes = state.FolderNodeList;
        if (m_nodeOfFolder.empty())
            for (int i = 0; i < nodes.count(); ++i) m_nodeOfFolder.emplace(nodes.node(i).selfId, i);
        const std::string name = state.items.name(index);
        std::vector<std::string_view> parts{name};
        std::uint32_t parent = static_cast<std::uint32_t>(std::min<std::uint64_t>(state.items[index].parent, UINT32_MAX));
        for (int depth = 0; depth < nodes.count() && parent != records::kNtfsRootId; ++depth) {
            const auto at = m_nodeOfFolder.find(parent);
            if (at == m_nodeOfFolder.end()) {
                parts.push_back(records::kMiscFolderName);
                break;
            }
            const records::FolderNode& node = nodes.node(at->second);
            parts.push_back(node.name);
            if (node.parentId == parent) break;
            parent = node.parentId;
        }
        std::string out;
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
            if (!out.empty()) out += '/';
            out += *it;
        }
        return out;
    }

    std::size_t itemOfRecord(const RecoveryState& state, std::uint64_t record) {
        if (m_recordItems.empty()) {
            const records::ItemStore& items = state.items;
            for (std::size_t i = 0; i < items.size(); ++i) {
                const records::Item& it = items[i];
                if (it.deleted()) continue;
                auto [at, added] = m_recordItems.emplace(it.record, i);
                // The file itself rather than one of its streams.
                if (!added && items[at->second].isStream() && !it.isStream()) at->second = i;
            }
        }
        const auto it = m_recordItems.find(record);
        return it == m_recordItems.end() ? records::ItemStore::kNone : it->second;
    }

    /// Owners of a FAT volume's clusters: every live entry of the live tree
    /// from the root down, with the clusters of its chain.
    const records::ClusterOwnerIndex& fatOwners() {
        if (m_ownersTried) return m_fatOwners;
        m_ownersTried = true;
        const fat::FatVolume& volume = *m_fat;
        struct Pending {
            std::uint32_t cluster;
            std::string prefix;
            std::size_t depth;
        };
        // A FAT32 root cluster is a 28-bit number.
        const auto root = volume.isFat32() ? static_cast<std::uint32_t>(volume.params.rootStart) : 0u;
        std::vector<Pending> todo{{root, "", 0}};
        std::unordered_set<std::uint32_t> seen{todo.front().cluster};
        std::size_t entries = 0;
        while (!todo.empty() && entries < kMaxOwnerEntries) {
            const Pending dir = std::move(todo.back());
            todo.pop_back();
            const bool root16 = dir.cluster == 0;
            for (const fat::FatDirEntry& e : fat::readDirectory(volume, root16 ? 0 : dir.cluster).entries) {
                if (++entries > kMaxOwnerEntries) break;
                if (e.deleted || e.firstCluster < 2) continue;
                const std::string path = dir.prefix + e.name;
                const auto owner = static_cast<std::uint64_t>(m_fatOwnerPaths.size());
                m_fatOwnerPaths.push_back(path);
                const fat::ClusterChain chain = fat::BuildClusterChain(volume, e.firstCluster);
                for (std::size_t i = 0; i < chain.size();) {
                    std::size_t j = i + 1;
                    while (j < chain.size() && chain[j] == chain[j - 1] + 1) ++j;
                    m_fatOwners.add(chain[i], j - i, owner);
                    i = j;
                }
                if (e.directory && dir.depth < kMaxOwnerDepth && seen.insert(e.firstCluster).second)
                    todo.push_back(Pending{e.firstCluster, path + "/", dir.depth + 1});
            }
        }
        m_fatOwners.finish();
        return m_fatOwners;
    }

    VolumeKey m_key;
    bool m_ntfs;
    std::uint64_t m_cluster0;
    std::uint32_t m_sectorsPerCluster;
    bool m_allocationRead = false;
    bool m_allocationOk = false;
    std::vector<std::uint8_t> m_bitmap;
    std::unique_ptr<fat::FatVolume> m_fat;
    std::unique_ptr<recover::FatEntryReader> m_fatEntries;
    bool m_ownersTried = false;
    records::ClusterOwnerIndex m_fatOwners;
    std::vector<std::string> m_fatOwnerPaths;
    std::unordered_map<std::uint64_t, std::size_t> m_recordItems;
    std::unordered_map<std::uint32_t, int> m_nodeOfFolder;
};

namespace {

ConditionCache& cacheOf(RecoveryState& state) {
    if (!state.conditions || !state.conditions->key().matches(state))
        state.conditions = std::make_shared<ConditionCache>(state);
    return *state.conditions;
}

/// The key a row's condition is kept under: its item (NTFS) or its
/// directory entry (FAT).
std::pair<std::uint64_t, std::uint64_t> rowKey(const RecoveryState& state, const records::FileListRow& row) {
    if (isNtfs(state)) return row.item < state.items.size() ? std::pair<std::uint64_t, std::uint64_t>{1, row.item}
                                                            : std::pair<std::uint64_t, std::uint64_t>{2, row.selfId};
    return {row.entrySector, (std::uint64_t{1} << 40) | row.entryOffset};
}

}  // namespace

bool hasDataCondition(const RecoveryState& state, const records::FileListRow& row, bool insideDeleted) {
    if (row.isFolder) return false;
    if (isNtfs(state)) {
        // A record still in use holds its own data, whatever the folder
        // above it; the listing marks everything below a deleted folder.
        if (row.item < state.items.size()) return state.items.peek(row.item).deleted();
        return row.deleted;
    }
    if (plainLabel(row)) return false;
    return row.deleted || insideDeleted;
}

records::DataCondition layoutCondition(RecoveryState& state, const records::FileListRow& row, bool insideDeleted,
                                       const recover::FileLayout& layout) {
    if (!hasDataCondition(state, row, insideDeleted)) return {};
    ConditionCache& cache = cacheOf(state);
    const auto key = rowKey(state, row);
    const auto known = cache.results.find(key);
    if (known != cache.results.end()) return known->second;
    bool outside = false;
    const std::vector<records::ClusterRun> runs = cache.clustersOf(layout, outside);
    records::DataCondition c = cache.evaluate(state, runs, outside);
    cache.results.emplace(key, c);
    return c;
}

records::DataCondition rowCondition(RecoveryState& state, const records::FileListRow& row, bool insideDeleted) {
    if (!hasDataCondition(state, row, insideDeleted)) return {};
    ConditionCache& cache = cacheOf(state);
    const auto known = cache.results.find(rowKey(state, row));
    if (known != cache.results.end()) return known->second;
    // The runs the walk decoded, when it kept them for this tree: no need
    // to read the record again.
    if (isNtfs(state) && row.item < state.items.size() && state.walkRuns.deleted.describes(state.items.size())) {
        std::vector<records::ClusterRun> runs;
        // Testing them again costs less than keeping every result.
        if (state.walkRuns.deleted.runsOf(row.item, runs)) return cache.evaluate(state, runs, false);
    }
    if (!cache.reader) cache.reader = volumeReaderFor(state);
    const LocatedFile located = cache.reader->locate(row, insideDeleted);
    if (!located.located) {
        records::DataCondition c;
        c.kind = records::DataConditionKind::Unknown;
        cache.results.emplace(rowKey(state, row), c);
        return c;
    }
    return layoutCondition(state, row, insideDeleted, located.layout);
}

ConditionCounts countConditions(RecoveryState& state, const records::FileList& rows, bool insideDeleted) {
    ConditionCounts counts;
    for (const records::FileListRow& row : rows) {
        switch (rowCondition(state, row, insideDeleted).kind) {
        case records::DataConditionKind::Intact: ++counts.intact; break;
        case records::DataConditionKind::PartlyOverwritten: ++counts.partlyOverwritten; break;
        case records::DataConditionKind::Overwritten: ++counts.overwritten; break;
        case records::DataConditionKind::Unknown: ++counts.unknown; break;
        case records::DataConditionKind::None: break;
        }
    }
    return counts;
}

void ensureMftRunTable(RecoveryState& state) {
    // Built once: rows whose record's sector is not known ask for every
    // row, and a raw scan's tree often has no MFT runs to find at all.
    if (!isNtfs(state) || state.mftRunTable.runCount() != 0 || state.mftRunTable.buildTried()) return;
    const auto& params = state.ActiveVolume.params;
    state.mftRunTable.setRecordBytes(params.sectorsPerMftRecord * 512);
    (void)state.mftRunTable.buildMftRunTable(state.volumeRange(), params.cluster0Start, params.mftStart,
                                             params.sectorsPerCluster, params.mftMirrorStart);
}

records::Provenance rowProvenance(RecoveryState& state, const records::FileListRow& row) {
    records::Provenance p;
    if (row.isFolder && row.selfId == records::kMiscFolderId) return p;
    const bool underMisc = row.parentId == records::kMiscFolderId;
    if (isNtfs(state)) {
        p.foundIn = records::FoundIn::MftRecord;
        p.record = row.selfId;
        if (row.item < state.items.size()) {
            const records::Item& item = state.items.peek(row.item);
            p.record = item.record;
            p.sector = item.sector;
        }
        if (p.sector == 0) {
            ensureMftRunTable(state);
            p.sector = state.mftRunTable.recordSector(p.record);
        }
        p.parentBy = underMisc ? records::ParentBy::Miscellaneous : records::ParentBy::ParentReference;
        return p;
    }
    if (row.entrySector != 0) {
        // Files, and folders listed only by their entry, stand in the
        // directory of the folder listing them.
        p.foundIn = records::FoundIn::DirectoryEntry;
        p.sector = row.entrySector;
        p.offset = row.entryOffset;
        p.parentBy = records::ParentBy::FolderIndex;
        return p;
    }
    // A folder of the tree: its directory cluster was found by the scan and
    // its ".." entry names its parent.
    p.foundIn = records::FoundIn::DirectoryCluster;
    p.record = row.selfId;
    const auto& params = state.ActiveVolume.params;
    p.sector = static_cast<std::uint64_t>(row.selfId) * params.sectorsPerCluster + params.cluster0Start;
    p.parentBy = underMisc ? records::ParentBy::Miscellaneous : records::ParentBy::ParentReference;
    return p;
}

bool insideDeletedFolder(const RecoveryState& state, records::TreeItemId folder) {
    const records::FolderNodeList& nodes = state.FolderNodeList;
    // Bounded by the item count: a tree has no cycles, but this must not
    // rely on it.
    for (int steps = 0; nodes.validItem(folder) && steps <= nodes.itemCount(); ++steps) {
        const records::TreeItem& it = nodes.item(folder);
        if (it.node >= 0 && nodes.node(it.node).deleted) return true;
        folder = it.parent;
    }
    return false;
}

}  // namespace qvx::engine

#include "fat/directory_scan.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fat/cluster_chain.h"
#include "fat/dir_entry.h"
#include "fat/directory.h"
#include "records/lost_directories.h"
#include "records/tables.h"

namespace qvx::fat {

namespace {

using records::RecordTable;

constexpr std::uint32_t kScanChunkSectors = 512;

int percentOf(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 100;
    return static_cast<int>(std::min<std::uint64_t>(100, part * 100 / whole));
}

std::string sectorsText(std::uint64_t sector, std::uint64_t end) {
    return "Sectors  " + std::to_string(sector) + " of " + std::to_string(end);
}

bool geometryUsable(const FatVolume& v) {
    const std::uint32_t spc = v.params.sectorsPerCluster;
    return v.isFat() && spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0;
}

// Calls visit(sectorLba, sectorBytes) for each sector of the root directory
// in order; visit returns false to stop.
template <typename Visit>
void forEachRootSector(const FatVolume& v, Visit visit) {
    std::array<std::uint8_t, disk::kSectorSize> buf{};
    if (v.isFat16()) {
        if (v.params.rootStart == 0) return;
        for (std::uint32_t l = 0; l < v.params.rootSectors; ++l) {
            const std::uint64_t lba = static_cast<std::uint64_t>(v.params.rootStart) + l;
            v.read(lba, 1, buf.data());
            if (!visit(lba, util::Bytes(buf))) return;
        }
        return;
    }
    if (v.params.rootStart < 2) return;  // clusters 0 and 1 hold no data
    for (std::uint32_t cluster : BuildClusterChain(v, v.params.rootCluster())) {
        for (std::uint32_t i = 0; i < v.params.sectorsPerCluster; ++i) {
            const std::uint64_t lba = v.clusterSector(cluster) + i;
            v.read(lba, 1, buf.data());
            if (!visit(lba, util::Bytes(buf))) return;
        }
    }
}

}  // namespace

void appendMiscellaneousRow(RecordTable& t) {
    const int r = t.appendRow(records::kMiscFolderName);
    t.setCell(r, records::kSector, "0");
    t.setU32(r, records::kSelf, kMiscellaneousId);
    t.setCell(r, records::kParent, "0");
    t.setCell(r, records::kDate, "0");
    t.setCell(r, records::kTime, "0");
    t.setCell(r, records::kSize, "0");
    t.setCell(r, records::kAttr, "16");
    t.setCell(r, records::kSysId, "0");
    t.setCell(r, records::kType, "FOLDER");
}

bool ScanDirectoryClusters(const FatVolume& v, RecordTable& t, util::ProgressSink& progress, std::stop_token stop) {
    appendMiscellaneousRow(t);
    progress.setCounter(kDirectoriesFoundLabel, std::to_string(t.rowCount()));
    if (!geometryUsable(v)) return false;

    const bool fat32 = v.isFat32();
    const std::uint32_t spc = v.params.sectorsPerCluster;
    const std::uint64_t end = v.endSector;
    std::uint64_t start = v.clusterSector(2);
    std::uint64_t cluster = 2;
    progress.setStatusText(sectorsText(0, end));

    std::vector<std::uint8_t> buf(static_cast<std::size_t>(kScanChunkSectors) * disk::kSectorSize);
    int shownPercent = -1;
    while (start < end) {
        if (stop.stop_requested()) return false;
        progress.setStatusText(sectorsText(start, end));
        // The partition ends at end: what lies beyond belongs to no cluster of
        // this volume. A failed read leaves zeros where sectors could not be
        // read, so nothing of the previous chunk is examined again.
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kScanChunkSectors, end - start));
        v.read(start, count, buf.data());
        for (std::uint32_t offset = 0; offset + spc <= count; offset += spc, ++cluster) {
            const util::Bytes c(buf.data() + static_cast<std::size_t>(offset) * disk::kSectorSize,
                                static_cast<std::size_t>(spc) * disk::kSectorSize);
            if (beginsDirectory(c)) {
                const DirEntry dot = entryAt(c, 0);
                if (dot.firstCluster(fat32) != cluster) continue;
                const DirEntry dotdot = entryAt(c, 1);
                const int r = t.appendRow("Dir" + std::to_string(t.rowCount()));
                t.setU64(r, records::kSector, start + offset);
                t.setU64(r, records::kSelf, cluster);
                t.setU32(r, records::kParent, dotdot.firstCluster(fat32));
                t.setU32(r, records::kDate, dot.date());
                t.setU32(r, records::kTime, dot.time());
                t.setU32(r, records::kSize, dot.size());
                t.setU32(r, records::kAttr, dot.attributes());
                t.setCell(r, records::kSysId, "0");
                t.setCell(r, records::kType, "FOLDER");
                progress.setCounter(kDirectoriesFoundLabel, std::to_string(t.rowCount()));
            }
            const int percent = percentOf(start, end);
            if (percent != shownPercent) {
                shownPercent = percent;
                progress.setProgress(percent, "Completed ");
            }
        }
        // Clusters that straddle the end of a short last chunk are not part
        // of the volume's data area.
        if (count < kScanChunkSectors) break;
        start += kScanChunkSectors;
    }
    return true;
}

void NameRootFolders(const FatVolume& v, RecordTable& t) {
    if (!v.isFat()) return;
    // First row (in table order) of each root-level self cluster.
    std::unordered_map<std::uint32_t, int> rowOfSelf;
    for (int r = 0; r < t.rowCount(); ++r) {
        if (t.getU32(r, records::kParent) != 0) continue;
        rowOfSelf.emplace(t.getU32(r, records::kSelf), r);
    }
    // A live entry names its folder even when a deleted entry for the same
    // (reused) cluster comes later in the directory.
    std::unordered_set<int> namedByLive;
    for (const FatDirEntry& e : readDirectory(v, 0).entries) {
        if (!e.directory) continue;
        const auto it = rowOfSelf.find(e.firstCluster);
        if (it == rowOfSelf.end()) continue;
        if (e.deleted && namedByLive.count(it->second)) continue;
        t.setCell(it->second, records::kName, e.name);
        t.setCell(it->second, records::kDeleted, e.deleted ? "1" : "");
        if (!e.deleted) namedByLive.insert(it->second);
    }
}

namespace {

// Rows whose ".." links go round in a loop, in the order the walk meets
// them: for each loop the row at which it closes.
std::vector<int> loopClosingRows(const RecordTable& t) {
    const int n = t.rowCount();
    std::unordered_map<std::uint32_t, int> rowOfSelf;
    for (int r = 0; r < n; ++r) rowOfSelf.emplace(t.getU32(r, records::kSelf), r);
    enum : std::uint8_t { kUnknown, kOnPath, kDone };
    std::vector<std::uint8_t> state(static_cast<std::size_t>(n), kUnknown);
    std::vector<int> path;
    std::vector<int> closing;
    for (int start = 0; start < n; ++start) {
        path.clear();
        int r = start;
        // Each row is put on a path once, so the walks together take n steps.
        while (state[static_cast<std::size_t>(r)] == kUnknown) {
            state[static_cast<std::size_t>(r)] = kOnPath;
            path.push_back(r);
            const std::uint32_t parent = t.getU32(r, records::kParent);
            const auto it = rowOfSelf.find(parent);
            if (parent == 0 || it == rowOfSelf.end()) break;
            if (state[static_cast<std::size_t>(it->second)] == kOnPath) {
                closing.push_back(r);
                break;
            }
            r = it->second;
        }
        for (int p : path) state[static_cast<std::size_t>(p)] = kDone;
    }
    return closing;
}

// For each wanted cluster, the first directory (in table order, the root
// first) that holds a live folder entry naming it; 0 stands for the root.
std::unordered_map<std::uint32_t, std::uint32_t> findDirectoriesNaming(
    const FatVolume& v, const RecordTable& t, const std::unordered_set<std::uint32_t>& wanted) {
    std::unordered_map<std::uint32_t, std::uint32_t> found;
    const bool fat32 = v.isFat32();
    auto scanSector = [&](util::Bytes sector, std::uint32_t holder) {
        for (std::uint32_t i = 0; i < kEntriesPerSector; ++i) {
            const DirEntry e = entryAt(sector, i);
            if (e.endsDirectory()) return false;
            if (e.isDot() || e.isLongName() || !e.isDirectory() || e.isDeleted()) continue;
            const std::uint32_t c = e.firstCluster(fat32);
            if (c != holder && wanted.count(c)) found.emplace(c, holder);
        }
        return true;
    };
    forEachRootSector(v, [&](std::uint64_t, util::Bytes sector) { return scanSector(sector, 0); });
    std::array<std::uint8_t, disk::kSectorSize> buf{};
    for (int r = 0; r < t.rowCount() && found.size() < wanted.size(); ++r) {
        const std::uint32_t self = t.getU32(r, records::kSelf);
        if (self == kMiscellaneousId) continue;
        bool more = true;
        for (std::uint32_t cluster : BuildClusterChain(v, self)) {
            for (std::uint32_t i = 0; more && i < v.params.sectorsPerCluster; ++i) {
                v.read(v.clusterSector(cluster) + i, 1, buf.data());
                more = scanSector(util::Bytes(buf), self);
            }
            if (!more) break;
        }
    }
    return found;
}

}  // namespace

void breakParentCycles(const FatVolume& v, RecordTable& t) {
    std::vector<int> closing = loopClosingRows(t);
    if (closing.empty()) return;
    // A folder in a loop has a wrong ".." entry (often naming itself). Its
    // true parent is the directory that holds its entry: the directories
    // found are read once to look for it.
    std::unordered_set<std::uint32_t> wanted;
    for (int r : closing) wanted.insert(t.getU32(r, records::kSelf));
    const auto holders = findDirectoriesNaming(v, t, wanted);
    for (int r : closing) {
        const auto it = holders.find(t.getU32(r, records::kSelf));
        t.setU32(r, records::kParent, it != holders.end() ? it->second : kMiscellaneousId);
    }
    // Parents taken from directory entries can close new loops; those are
    // cut under "QVX_Miscellaneous".
    for (int guard = 0; guard < 64; ++guard) {
        closing = loopClosingRows(t);
        if (closing.empty()) break;
        for (int r : closing) t.setU32(r, records::kParent, kMiscellaneousId);
    }
}

bool runFatStandardSearch(const FatVolume& v, RecordTable& t, util::ProgressSink& progress, std::stop_token stop) {
    if (!geometryUsable(v)) {
        progress.showMessage("The FAT geometry of this volume is unusable (sectors per cluster " +
                                 std::to_string(v.params.sectorsPerCluster) + ")",
                             util::MessageKind::Error);
        appendMiscellaneousRow(t);
        return false;
    }
    if (!ScanDirectoryClusters(v, t, progress, stop)) return false;
    return records::finishFolderTree(v.isFat16() ? records::VolumeKind::Fat16 : records::VolumeKind::Fat32, t,
                                     fatTreeSteps(v), progress, stop);
}

records::FolderTreeSteps fatTreeSteps(const FatVolume& v) {
    records::FolderTreeSteps steps;
    // ".." links that go round in a loop would hide their folders.
    steps.breakCycles = [&v](RecordTable& t) { breakParentCycles(v, t); };
    steps.nameRoots = [&v](RecordTable& t) { NameRootFolders(v, t); };
    return steps;
}

}  // namespace qvx::fat

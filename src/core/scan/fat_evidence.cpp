#include "scan/fat_evidence.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

#include "disk/sector_reader.h"
#include "scan/scan_window.h"

namespace qvx::scan {

namespace {

using records::RecordTable;

constexpr std::uint32_t kMaxU32 = 0xFFFFFFFFu;

int percentOf(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 100;
    return static_cast<int>(std::min<std::uint64_t>(100, part * 100 / whole));
}

/// "Sectors  N of END" in the disk's own sectors, units 512-byte ones each.
std::string sectorsText(std::uint64_t sector, std::uint64_t end, std::uint64_t units) {
    return "Sectors  " + std::to_string(sector / units) + " of " + std::to_string(end / units);
}

bool isClusterSize(std::uint32_t spc) { return spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0; }

// Shows the bar only when its percentage changes: the identification
// advances it once per directory.
class PercentBar {
public:
    PercentBar(util::ProgressSink& progress, std::uint64_t total) : m_progress(progress), m_total(total) {}
    void advance() {
        const int percent = percentOf(++m_done, m_total);
        if (percent == m_shown) return;
        m_shown = percent;
        m_progress.setProgress(percent, "Completed ");
    }

private:
    util::ProgressSink& m_progress;
    std::uint64_t m_total;
    std::uint64_t m_done = 0;
    int m_shown = -1;
};

// The directory rows as the identification reads them.
struct DirectoryRow {
    std::int64_t sector = 0;
    std::int64_t self = 0;
};

}  // namespace

bool startsWithDotEntries(util::Bytes s) {
    return util::le8(s, 0) == '.' && util::le8(s, 1) == ' ' && util::le8(s, 32) == '.' && util::le8(s, 33) == '.' &&
           util::le8(s, 34) == ' ';
}

bool appendFatBootSectorRow(util::Bytes s, std::uint64_t lba, RecordTable& t) {
    if (util::le8(s, 510) != 0x55 || util::le8(s, 511) != 0xAA) return false;
    const bool fat32 = util::bytesEqual(s, 85, "32");
    if (!fat32 && !util::bytesEqual(s, 57, "16")) return false;

    // A volume made with larger sectors (bytes per sector at 11) counts in
    // them; the row keeps 512-byte sectors, eight to a 4096-byte one.
    const std::uint32_t bytesPerSector = util::le16(s, 11);
    const std::uint64_t units =
        bytesPerSector > 512 && bytesPerSector <= 4096 && (bytesPerSector & (bytesPerSector - 1)) == 0
            ? bytesPerSector / 512
            : 1;
    const std::uint64_t b = lba;
    const std::uint64_t r = std::uint64_t{util::le16(s, 14)} * units;
    if (!isClusterSize(util::le8(s, 13))) return false;
    const std::uint64_t k = std::uint64_t{util::le8(s, 13)} * units;
    const std::uint64_t f = (fat32 ? util::le32(s, 36) : util::le16(s, 22)) * units;
    const std::uint64_t total = std::uint64_t{util::le32(s, 32)} * units;
    const std::uint64_t rootEntries = fat32 ? 0 : util::le16(s, 17);
    const std::uint64_t e = units == 1 ? rootEntries >> 4 : (rootEntries * 32 + units * 512 - 1) / (units * 512) * units;
    // Every sector number of the row must be a 32-bit LBA; cluster 0 may lie
    // before the data area but not before the start of the disk.
    const std::uint64_t dataStart = b + r + e + 2 * f;
    if (dataStart < 2 * k || b + total > kMaxU32 || dataStart > kMaxU32) return false;

    const int row = t.appendRow(std::to_string(b));
    t.setU64(row, kBsSpf, f);
    t.setU64(row, kBsSpc, k);
    t.setU64(row, kBsRootSectors, e);
    t.setU64(row, kBsRootStart, fat32 ? util::le32(s, 44) : b + r + 2 * f);
    t.setU64(row, kBsReserveSectors, r);
    t.setU64(row, kBsCluster0Start, dataStart - 2 * k);
    t.setU64(row, kBsFirstFat, b + r);
    t.setU64(row, kBsSecondFat, b + r + f);
    t.setU64(row, kBsTotalSectors, b + total);
    t.setCell(row, kBsPartType, fat32 ? "FAT32" : "FAT16");
    return true;
}

bool appendFatDirectoryRow(util::Bytes s, std::uint64_t lba, RecordTable& t) {
    if (!startsWithDotEntries(s)) return false;
    auto firstCluster = [&](std::size_t entry) {
        return (static_cast<std::uint32_t>(util::le16(s, entry + 20)) << 16) | util::le16(s, entry + 26);
    };
    const int row = t.appendRow(std::to_string(lba));
    t.setU32(row, kDsSelfCluster, firstCluster(0));
    t.setU32(row, kDsParentCluster, firstCluster(32));
    t.setCell(row, kDsFileSystem, "0");
    t.setI32(row, kDsDate, util::le16(s, 24));
    t.setI32(row, kDsTime, util::le16(s, 22));
    return true;
}

bool ScanFatEvidence(const partition::VolumeRange& range, std::uint64_t start, std::uint64_t end,
                     records::RecordTables& tables, util::ProgressSink& progress, std::stop_token stop) {
    RecordTable& boots = tables.BootSectorTable;
    RecordTable& dirs = tables.DirectoryScanTable;
    // Never past the disk's last sector, whatever range was asked for.
    const std::uint64_t disk = range.reader != nullptr ? range.reader->totalSectors(range.diskIndex) : 0;
    if (disk > 0 && end > disk) end = disk;
    boots.clear();
    dirs.clear();
    progress.setCounter(kBootSectorsFoundLabel, "0");
    progress.setCounter(kFatDirectoriesFoundLabel, "0");
    const std::uint64_t units = std::max<std::uint32_t>(1, range.diskUnits());
    progress.setStatusText(sectorsText(0, end, units));

    // Several chunks are read with one request; the chunks are still
    // examined and reported one by one. Most sectors are neither a boot
    // sector nor a directory's first: one look at their first and last bytes
    // passes them over (a directory's first sector must begin with the "."
    // and ".." entries).
    constexpr std::uint32_t kChunksPerRead = 8;
    constexpr std::uint32_t kReadSectors = kScanChunkSectors * kChunksPerRead;
    ScanWindow window(range, disk, kReadSectors, kScanChunkSectors, [](const std::uint8_t* p) -> std::uint32_t {
        const bool dots = p[0] == '.' && p[1] == ' ' && p[32] == '.' && p[33] == '.' && p[34] == ' ';
        if (dots) return 1;
        // A boot sector row needs a cluster size at 13 and "16" at 57 or
        // "32" at 85 (appendFatBootSectorRow): only then is the sector's last
        // cache line, with 55 AA, worth a look. Most sectors fail at byte 13.
        if (!isClusterSize(p[13])) return 0;
        if (!(p[57] == '1' && p[58] == '6') && !(p[85] == '3' && p[86] == '2')) return 0;
        return p[510] == 0x55 && p[511] == 0xAA ? 1 : 0;
    });
    int shownPercent = -1;
    for (std::uint64_t s = start; s < end; s += kScanChunkSectors) {
        if (stop.stop_requested()) return false;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kScanChunkSectors, end - s));
        if (!window.holds(s)) {
            // The reader retries a failed request sector by sector and leaves
            // zeros where sectors stay unreadable (after a failed whole
            // request, chunk by chunk into cleared memory), so nothing of an
            // earlier chunk is examined twice and a bad chunk simply yields
            // nothing.
            const auto sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(kReadSectors, end - s));
            window.load(s, sectors);
            if (end - s > sectors) window.prefetch(s + sectors, static_cast<std::uint32_t>(std::min<std::uint64_t>(kReadSectors, end - s - sectors)));
        }
        const std::uint8_t* chunk = window.at(s);
        const auto chunkOffset = static_cast<std::uint32_t>(s - window.first());
        const int bootsBefore = boots.rowCount();
        const int dirsBefore = dirs.rowCount();
        for (const std::uint32_t picked : window.pickedIn(s, count)) {
            const std::uint32_t k = picked - chunkOffset;
            const std::uint8_t* p = chunk + static_cast<std::size_t>(k) * disk::kSectorSize;
            if (p[510] == 0x55 && p[511] == 0xAA)
                appendFatBootSectorRow(util::Bytes(p, disk::kSectorSize), s + k, boots);
            if (p[0] == '.' && p[1] == ' ' && p[32] == '.' && p[33] == '.' && p[34] == ' ')
                appendFatDirectoryRow(util::Bytes(p, disk::kSectorSize), s + k, dirs);
        }
        if (boots.rowCount() != bootsBefore)
            progress.setCounter(kBootSectorsFoundLabel, std::to_string(boots.rowCount()));
        if (dirs.rowCount() != dirsBefore)
            progress.setCounter(kFatDirectoriesFoundLabel, std::to_string(dirs.rowCount()));
        progress.setStatusText(sectorsText(s, end, units));
        const int percent = percentOf(s, end);
        if (percent != shownPercent) {
            shownPercent = percent;
            progress.setProgress(percent, "Completed ");
        }
        if (end - s <= kScanChunkSectors) break;
    }
    return true;
}

namespace {

// Phase 1: a directory belongs to the first boot sector (in table order)
// whose geometry puts its self cluster at the sector where it was found,
// inside the volume. Directories are indexed by sector - self x SPC, so
// each boot sector looks only at the directories it can own.
void identifyByBootSectors(records::RecordTables& tables, const std::vector<DirectoryRow>& rows,
                           std::vector<std::int64_t>& fs, int& count, PercentBar& bar) {
    RecordTable& boots = tables.BootSectorTable;
    RecordTable& systems = tables.FileSystemTable;
    std::unordered_map<std::int64_t, std::unordered_map<std::int64_t, std::vector<int>>> bySpc;
    for (int b = 0; b < boots.rowCount(); ++b) {
        const std::int64_t spc = boots.getI32(b, kBsSpc);
        const std::int64_t c0 = boots.getI32(b, kBsCluster0Start);
        const std::int64_t total = boots.getI32(b, kBsTotalSectors);
        // Cluster sizes come from a byte of the boot sector; rows with other
        // values (a hand-edited table) own no directory.
        if (spc < 0 || spc > 255) continue;
        auto& index = bySpc[spc];
        if (index.empty())
            for (int d = 0; d < static_cast<int>(rows.size()); ++d)
                index[rows[static_cast<std::size_t>(d)].sector - rows[static_cast<std::size_t>(d)].self * spc]
                    .push_back(d);
        const auto it = index.find(c0);
        if (it == index.end()) continue;
        int number = 0;
        for (int d : it->second) {
            const DirectoryRow& row = rows[static_cast<std::size_t>(d)];
            if (fs[static_cast<std::size_t>(d)] != 0 || row.sector < c0 || row.sector > total) continue;
            if (number == 0) {
                number = ++count;
                const int r = systems.appendRow(boots.cell(b, 0));
                for (int c = 1; c < boots.columnCount(); ++c) systems.setCell(r, c, boots.cell(b, c));
            }
            fs[static_cast<std::size_t>(d)] = number;
            bar.advance();
        }
    }
}

constexpr std::array<std::int64_t, 8> kClusterSizes{1, 2, 4, 8, 16, 32, 64, 128};

// Phase 2: the first unassigned directory a is paired with the first later
// unassigned directory b that shares a geometry with it: clusters ca < cb,
// cb below a's sector, and sb - sa = (cb - ca) x o for a cluster size o with
// cluster 0 at z = sa - ca x o > 0. Every unassigned directory on that line
// joins the new file system. For each o, directories are indexed by
// sector - self x o, the z they would give.
void identifyByPairs(records::RecordTables& tables, const std::vector<DirectoryRow>& rows,
                     std::vector<std::int64_t>& fs, int& count, const std::string& kind, PercentBar& bar) {
    RecordTable& systems = tables.FileSystemTable;
    const int n = static_cast<int>(rows.size());
    std::array<std::unordered_map<std::int64_t, std::vector<int>>, kClusterSizes.size()> index;
    for (std::size_t oi = 0; oi < kClusterSizes.size(); ++oi)
        for (int d = 0; d < n; ++d)
            if (fs[static_cast<std::size_t>(d)] == 0) {
                const DirectoryRow& row = rows[static_cast<std::size_t>(d)];
                index[oi][row.sector - row.self * kClusterSizes[oi]].push_back(d);
            }

    for (int a = 0; a < n; ++a) {
        if (fs[static_cast<std::size_t>(a)] != 0) continue;
        const DirectoryRow& ra = rows[static_cast<std::size_t>(a)];
        int best = -1;
        std::size_t bestO = 0;
        for (std::size_t oi = 0; oi < kClusterSizes.size(); ++oi) {
            const std::int64_t z = ra.sector - ra.self * kClusterSizes[oi];
            if (z <= 0) continue;
            const auto it = index[oi].find(z);
            if (it == index[oi].end()) continue;
            const std::vector<int>& list = it->second;
            for (auto p = std::upper_bound(list.begin(), list.end(), a); p != list.end(); ++p) {
                if (best >= 0 && *p > best) break;
                const DirectoryRow& rb = rows[static_cast<std::size_t>(*p)];
                if (fs[static_cast<std::size_t>(*p)] != 0 || rb.self <= ra.self || rb.self >= ra.sector) continue;
                best = *p;
                bestO = oi;
                break;
            }
        }
        if (best < 0) {
            fs[static_cast<std::size_t>(a)] = -1;
            bar.advance();
            continue;
        }
        const std::int64_t o = kClusterSizes[bestO];
        const std::int64_t z = ra.sector - ra.self * o;
        const int number = ++count;
        const int r = systems.appendRow("0");
        systems.setU64(r, kBsSpc, static_cast<std::uint64_t>(o));
        systems.setU64(r, kBsCluster0Start, static_cast<std::uint64_t>(z));
        systems.setCell(r, kBsPartType, kind);
        std::int64_t largest = rows[static_cast<std::size_t>(best)].self;
        fs[static_cast<std::size_t>(a)] = number;
        fs[static_cast<std::size_t>(best)] = number;
        bar.advance();
        bar.advance();
        const auto it = index[bestO].find(z);
        for (int d : it->second) {
            if (fs[static_cast<std::size_t>(d)] != 0) continue;
            fs[static_cast<std::size_t>(d)] = number;
            largest = std::max(largest, rows[static_cast<std::size_t>(d)].self);
            bar.advance();
        }
        // Every directory on this line is now assigned.
        index[bestO].erase(it);
        if (kind != "FAT32" && largest > 0x10000) systems.setCell(r, kBsPartType, "FAT32");
    }
}

}  // namespace

FatIdentification IdentifyFatFileSystems(records::RecordTables& tables, const std::string& kind,
                                         util::ProgressSink& progress) {
    RecordTable& dirs = tables.DirectoryScanTable;
    tables.FileSystemTable.clear();
    FatIdentification result;

    const int n = dirs.rowCount();
    std::vector<DirectoryRow> rows(static_cast<std::size_t>(n));
    std::vector<std::int64_t> fs(static_cast<std::size_t>(n));
    for (int d = 0; d < n; ++d) {
        // Sectors and clusters are written unsigned and never exceed 64 and
        // 32 bits; read back they fit a signed 64-bit value.
        rows[static_cast<std::size_t>(d)].sector =
            static_cast<std::int64_t>(std::min<std::uint64_t>(dirs.getU64(d, kDsSector), INT64_MAX >> 9));
        rows[static_cast<std::size_t>(d)].self = dirs.getU32(d, kDsSelfCluster);
        fs[static_cast<std::size_t>(d)] = dirs.getI64(d, kDsFileSystem);
    }
    std::vector<std::int64_t> before = fs;

    progress.setStatusText("Analyzing The Data For File Systems Phase 1 \\ 2   ...");
    progress.setProgress(0, "0  % Completed ");
    PercentBar bar(progress, static_cast<std::uint64_t>(n));
    identifyByBootSectors(tables, rows, fs, result.fileSystemCount, bar);
    result.phase = 1;

    progress.setStatusText("Analyzing The Data For File Systems Phase 2 \\ 2   ...");
    identifyByPairs(tables, rows, fs, result.fileSystemCount, kind, bar);
    result.phase = 2;

    for (int d = 0; d < n; ++d)
        if (fs[static_cast<std::size_t>(d)] != before[static_cast<std::size_t>(d)])
            dirs.setI64(d, kDsFileSystem, fs[static_cast<std::size_t>(d)]);
    return result;
}

}  // namespace qvx::scan

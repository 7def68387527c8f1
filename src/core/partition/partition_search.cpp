#include "partition/partition_search.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "util/le.h"
#include "util/page_aligned.h"

namespace qvx::partition {

namespace {

std::uint32_t atoiText(const std::string& text) {
    const long long v = std::atoll(text.c_str());
    if (v < 0) return 0;
    return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v);
}

// Sectors per MiB: the alignment of the second probe pass.
constexpr std::uint64_t kMibSectors = 2048;

bool hasBootMarker(const std::uint8_t* s) { return s[510] == 0x55 && s[511] == 0xAA; }

/// "Unknown Partition" (the whole disk) when nothing at all is listed.
void offerWholeDisk(const SearchGeometry& geometry, DiskPartitionList& list, PartitionSearchResult& result) {
    if (!list.entries.empty()) return;
    const std::uint64_t total = geometry.totalSectors;
    list.entries.push_back({"Unknown Partition", 0, total, true, TableKind::Search});
    result.unknownOffered = true;
}

using Sector = std::array<std::uint8_t, disk::kSectorSize>;

// Boot sector fields the deep search checks beyond the recogniser's
// signature text, so that random data ending in 55 AA is not taken for a
// volume at every sector of a large disk.
constexpr std::size_t kBytesPerSector = 11;     // u16
constexpr std::size_t kSectorsPerCluster = 13;  // u8
constexpr std::size_t kReservedSectors = 14;    // u16, FAT
constexpr std::size_t kFatCount = 16;           // u8, FAT
constexpr std::size_t kMediaByte = 21;          // u8, FAT
constexpr std::size_t kFat32BackupSector = 50;  // u16, FAT32: sector of the backup boot sector
constexpr std::size_t kNtfsTotalSectors = 40;   // u64, excludes the backup in the last sector
constexpr std::size_t kNtfsMftCluster = 48;     // u64

bool powerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

/// 512-byte sectors per sector of the volume (bytes per sector at 11): 1 on
/// ordinary volumes, 8 on a volume made with 4096-byte sectors.
std::uint64_t bootUnits(util::Bytes b) {
    const std::uint32_t bytes = util::le16(b, kBytesPerSector);
    return powerOfTwo(bytes) && bytes >= 512 && bytes <= 4096 ? bytes / disk::kSectorSize : 1;
}

bool plausibleBootSector(util::Bytes b, const std::string& name) {
    const std::uint32_t bytesPerSector = util::le16(b, kBytesPerSector);
    if (!powerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096) return false;
    if (!powerOfTwo(util::le8(b, kSectorsPerCluster)) || util::le8(b, kSectorsPerCluster) > 128) return false;
    if (name == "NTFS") return util::le64(b, kNtfsTotalSectors) != 0;
    const std::uint32_t fats = util::le8(b, kFatCount);
    return util::le16(b, kReservedSectors) != 0 && (fats == 1 || fats == 2) && util::le8(b, kMediaByte) >= 0xF0;
}

/// Reads one sector, zeros where it cannot be read.
Sector readSector(disk::SectorReader& reader, int diskIndex, std::uint64_t lba) {
    Sector s{};
    reader.ReadSectors(diskIndex, lba, 1, s.data());
    return s;
}

bool sameSector(disk::SectorReader& reader, int diskIndex, std::uint64_t lba, const std::uint8_t* sector) {
    const Sector other = readSector(reader, diskIndex, lba);
    return std::memcmp(other.data(), sector, disk::kSectorSize) == 0;
}

/// The first sector of a FAT32 FAT begins with entry 0: the media byte with
/// the high bits set (F8 FF FF 0F for a fixed disk).
bool fatStartsAt(disk::SectorReader& reader, int diskIndex, std::uint64_t lba, std::uint8_t media) {
    const Sector s = readSector(reader, diskIndex, lba);
    return s[0] == media && s[1] == 0xFF && s[2] == 0xFF && (s[3] & 0x0F) == 0x0F;
}

bool mftStartsAt(disk::SectorReader& reader, int diskIndex, std::uint64_t lba) {
    const Sector s = readSector(reader, diskIndex, lba);
    return std::memcmp(s.data(), "FILE", 4) == 0;
}

}  // namespace

NormalisedGeometry normaliseGeometry(const SearchGeometry& g) {
    NormalisedGeometry n{atoiText(g.cylindersText), atoiText(g.headsText), atoiText(g.sectorsPerTrackText)};
    if (n.sectorsPerTrack != 63) {
        // Computed in 64 bits: the product of a large disk overflows 32.
        const std::uint64_t sectors = static_cast<std::uint64_t>(n.cylinders) * n.heads * n.sectorsPerTrack;
        const std::uint64_t cylinders = sectors / 16065;
        n.cylinders = cylinders > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(cylinders);
        n.heads = 255;
        n.sectorsPerTrack = 63;
    }
    return n;
}

ProbedBootSector recogniseBootSector(const std::uint8_t* sector) {
    util::Bytes b(sector, disk::kSectorSize);
    ProbedBootSector p;
    if (sector[85] == '3' && sector[86] == '2') {
        p.name = "FAT32";
        p.sizeSectors = util::le32(b, 32);
    } else if (sector[57] == '1' && sector[58] == '6') {
        p.name = "FAT16";
        p.sizeSectors = util::le32(b, 32);
        // Volumes under 65536 sectors keep their size in the 16-bit field at
        // 19 and leave the 32-bit one zero.
        if (p.sizeSectors == 0) p.sizeSectors = util::le16(b, 19);
    } else if (util::bytesEqual(b, 3, "NTFS")) {
        p.name = "NTFS";
        p.sizeSectors = static_cast<std::uint32_t>(util::le64(b, 40));  // low 32 bits
    }
    p.sizeSectors *= bootUnits(b);
    return p;
}

PartitionSearchResult PartitionSearch(disk::SectorReader& reader, int diskIndex, const SearchGeometry& geometry,
                                      DiskPartitionList& list, std::stop_token stop, util::ProgressSink& progress) {
    PartitionSearchResult result;
    const NormalisedGeometry g = normaliseGeometry(geometry);
    std::uint8_t sector[disk::kSectorSize];
    auto probe = [&](std::uint64_t lba) {
        std::memset(sector, 0, sizeof sector);
        reader.ReadSectors(diskIndex, lba, 1, sector);
        return hasBootMarker(sector);
    };
    // Recognises the probed sector and appends it unless it is already
    // listed; false once the list is full (the scan ends).
    auto consider = [&](std::uint64_t lba) {
        if (list.full()) return false;
        const ProbedBootSector found = recogniseBootSector(sector);
        if (found.name.empty()) return true;
        const std::uint64_t first = lba;
        const std::uint64_t end = first + found.sizeSectors;
        for (const auto& e : list.entries) {
            if (e.firstSector != first || e.fileSystemName != found.name) continue;
            // The table's own partition, found again: its boot sector may
            // give another size than the slot (NTFS leaves the backup boot
            // sector out of its count), but it is the same volume.
            if (!e.foundBySearch || e.endSector == end) return true;
        }
        list.entries.push_back({found.name, first, end, true, TableKind::Search});
        ++result.added;
        return true;
    };

    // The progress runs over both passes: the cylinders, then the MiB
    // boundaries of the whole disk. It is set once per cylinder; the far more
    // numerous MiB probes set it only when the percentage changes.
    const std::uint64_t mibProbes = (geometry.totalSectors + kMibSectors - 1) / kMibSectors;
    const std::uint64_t steps = static_cast<std::uint64_t>(g.cylinders) + mibProbes;
    int shown = -1;
    auto report = [&](std::uint64_t step, bool always) {
        const int percent = static_cast<int>(step * 100 / steps);
        if (!always && percent == shown) return;
        shown = percent;
        progress.setProgress(percent, "Completed ");
        progress.setAmount(std::min(step, steps), steps, "probes");
    };

    bool ended = false;
    for (std::uint32_t i = 0; i < g.cylinders && !ended; ++i) {
        if (stop.stop_requested()) {
            result.stopped = true;
            break;
        }
        report(i, true);
        const std::uint64_t cylinderStart = static_cast<std::uint64_t>(i) * g.heads * 63;
        std::uint64_t lba = cylinderStart + 63;
        if (!probe(lba)) {
            lba = cylinderStart;
            if (!probe(lba)) continue;
        }
        ended = !consider(lba);
    }

    // Partitioning tools of today start volumes on 1 MiB boundaries, where
    // no cylinder probe lands.
    for (std::uint64_t j = 0; j < mibProbes && !ended && !result.stopped; ++j) {
        if (stop.stop_requested()) {
            result.stopped = true;
            break;
        }
        report(g.cylinders + j, false);
        const std::uint64_t lba = j * kMibSectors;
        if (!probe(lba)) continue;
        ended = !consider(lba);
    }

    if (!result.stopped) progress.setProgress(100, "Completed ");
    progress.setHelpText(result.stopped ? kSearchStoppedHelp : kSearchDoneHelp);
    offerWholeDisk(geometry, list, result);
    return result;
}

FoundVolume locateVolume(disk::SectorReader& reader, int diskIndex, std::uint64_t lba, const std::uint8_t* sector) {
    FoundVolume out;
    if (!hasBootMarker(sector)) return out;
    const ProbedBootSector probed = recogniseBootSector(sector);
    util::Bytes b(sector, disk::kSectorSize);
    if (probed.name.empty() || !plausibleBootSector(b, probed.name)) return out;
    out.name = probed.name;
    out.sizeSectors = probed.sizeSectors;
    out.firstSector = lba;
    // Both copies are identical, so the sector alone cannot say which one it
    // is: the other copy, or else the structure the fields point at, decides.
    // Without either it counts as the primary, as the probing search takes it.
    std::uint64_t backupDistance = 0;
    std::uint64_t structureOffset = 0;  // from the first sector: the MFT, or the first FAT
    std::uint8_t media = 0;
    // Fields count in the volume's own sectors; distances here are 512-byte.
    const std::uint64_t units = bootUnits(b);
    if (probed.name == "NTFS") {
        // Bounded so that the distance in 512-byte sectors stays a byte offset.
        backupDistance = std::min<std::uint64_t>(util::le64(b, kNtfsTotalSectors), UINT64_MAX >> 16) * units;
        structureOffset = std::min<std::uint64_t>(util::le64(b, kNtfsMftCluster), UINT32_MAX) *
                          util::le8(b, kSectorsPerCluster) * units;
    } else if (probed.name == "FAT32") {
        const std::uint32_t reserved = util::le16(b, kReservedSectors);
        backupDistance = util::le16(b, kFat32BackupSector);
        if (backupDistance == 0 || backupDistance >= reserved) backupDistance = 6;
        backupDistance *= units;
        structureOffset = std::uint64_t{reserved} * units;
        media = util::le8(b, kMediaByte);
    } else {
        return out;  // FAT16 keeps no backup copy
    }
    const bool backupPossible = lba >= backupDistance;
    const std::uint64_t backupStart = backupPossible ? lba - backupDistance : 0;
    if (lba <= UINT64_MAX - backupDistance && sameSector(reader, diskIndex, lba + backupDistance, sector)) return out;
    if (backupPossible && sameSector(reader, diskIndex, backupStart, sector)) {
        out.firstSector = backupStart;
        out.fromBackup = true;
        return out;
    }
    auto structureAt = [&](std::uint64_t start) {
        if (start > UINT64_MAX - structureOffset) return false;
        return probed.name == "NTFS" ? mftStartsAt(reader, diskIndex, start + structureOffset)
                                     : fatStartsAt(reader, diskIndex, start + structureOffset, media);
    };
    if (structureAt(lba)) return out;
    if (backupPossible && structureAt(backupStart)) {
        out.firstSector = backupStart;
        out.fromBackup = true;
    }
    return out;
}

PartitionSearchResult DeepPartitionSearch(disk::SectorReader& reader, int diskIndex, const SearchGeometry& geometry,
                                          DiskPartitionList& list, std::stop_token stop,
                                          util::ProgressSink& progress) {
    PartitionSearchResult result;
    const std::uint64_t total = geometry.totalSectors;
    const std::size_t firstNew = list.entries.size();
    // Volumes already listed or found: a primary and its backup, or a table
    // entry and its boot sector, are one volume.
    std::set<std::pair<std::string, std::uint64_t>> known;
    for (const auto& e : list.entries) known.emplace(e.fileSystemName, e.firstSector);

    util::PageAlignedBytes buffer(std::size_t{kDeepSearchChunkSectors} * disk::kSectorSize);
    int shown = -1;
    for (std::uint64_t chunk = 0; chunk < total && !list.full(); chunk += kDeepSearchChunkSectors) {
        if (stop.stop_requested()) {
            result.stopped = true;
            break;
        }
        const int percent = static_cast<int>(chunk * 100 / total);
        if (percent != shown) {
            shown = percent;
            progress.setProgress(percent, "Completed ");
        }
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kDeepSearchChunkSectors, total - chunk));
        if (reader.ReadSectors(diskIndex, chunk, count, buffer.data()) == 0) {
            // Some sector failed: what could be read again stands in place,
            // the rest must not keep the previous chunk's bytes.
            std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
            for (std::uint32_t i = 0; i < count; ++i)
                reader.ReadSectors(diskIndex, chunk + i, 1, buffer.data() + std::size_t{i} * disk::kSectorSize);
        }
        for (std::uint32_t i = 0; i < count && !list.full(); ++i) {
            const std::uint8_t* sector = buffer.data() + std::size_t{i} * disk::kSectorSize;
            if (!hasBootMarker(sector)) continue;
            const FoundVolume found = locateVolume(reader, diskIndex, chunk + i, sector);
            if (found.name.empty()) continue;
            if (!known.emplace(found.name, found.firstSector).second) continue;
            const std::uint64_t first = found.firstSector;
            // An NTFS volume's size field leaves out the backup boot sector in
            // its last sector; the entry covers it, as a table entry does, so
            // that the analysis finds the backup when the first sector is gone.
            const std::uint64_t end = found.firstSector + found.sizeSectors +
                                      (found.name == "NTFS" ? bootUnits(util::Bytes(sector, disk::kSectorSize)) : 0);
            list.entries.push_back({found.name, first, end, true, TableKind::Search});
            ++result.added;
        }
    }
    // Found in read order, a volume located by its backup after later ones:
    // the new entries are shown in disk order.
    std::stable_sort(list.entries.begin() + static_cast<std::ptrdiff_t>(firstNew), list.entries.end(),
                     [](const PartitionEntry& a, const PartitionEntry& b) { return a.firstSector < b.firstSector; });
    if (!result.stopped) progress.setProgress(100, "Completed ");
    progress.setHelpText(result.stopped ? kSearchStoppedHelp : kSearchDoneHelp);
    offerWholeDisk(geometry, list, result);
    return result;
}

PartitionSearchResult SearchPartitions(SearchDepth depth, disk::SectorReader& reader, int diskIndex,
                                       const SearchGeometry& geometry, DiskPartitionList& list, std::stop_token stop,
                                       util::ProgressSink& progress) {
    return depth == SearchDepth::Deep ? DeepPartitionSearch(reader, diskIndex, geometry, list, stop, progress)
                                      : PartitionSearch(reader, diskIndex, geometry, list, stop, progress);
}

}  // namespace qvx::partition

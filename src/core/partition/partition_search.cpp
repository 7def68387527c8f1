#include "partition/partition_search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "util/le.h"

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
        p.sizeSectors = static_cast<std::uint32_t>(util::le64(b, 40));
    }
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
        if (found.name.empty() || lba > UINT32_MAX) return true;
        const auto first = static_cast<std::uint32_t>(lba);
        const std::uint64_t end64 = static_cast<std::uint64_t>(first) + found.sizeSectors;
        const auto end = static_cast<std::uint32_t>(end64 > UINT32_MAX ? UINT32_MAX : end64);
        for (const auto& e : list.entries)
            if (e.firstSector == first && e.endSector == end && e.fileSystemName == found.name) return true;
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
    if (list.entries.empty()) {
        const std::uint64_t total = geometry.totalSectors;
        list.entries.push_back(
            {"Unknown Partition", 0, static_cast<std::uint32_t>(total > UINT32_MAX ? UINT32_MAX : total), true,
             TableKind::Search});
        result.unknownOffered = true;
    }
    return result;
}

}  // namespace qvx::partition

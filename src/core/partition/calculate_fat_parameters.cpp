// Rebuilds the geometry of a FAT volume whose boot sector and backup are
// gone, from the directory clusters still on the disk.
//
// Every sub-directory begins with a "." entry naming its own first cluster
// and a ".." entry. Two such clusters cA at sector A and cB at sector B
// satisfy A = cluster0Start + cA * k and B = cluster0Start + cB * k, which
// gives the cluster size k and the origin of cluster numbering; the gap
// between the reserved area and cluster 2 then holds the two FATs (and the
// fixed 32-sector root directory on FAT16).

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

constexpr std::uint32_t kChunkSectors = 256;
constexpr std::uint32_t kProgressEverySectors = 500;
constexpr std::uint32_t kFat16RootSectors = 32;

bool isFirstDirectorySector(util::Bytes s) {
    return s[0] == '.' && s[1] == ' ' && s[32] == '.' && s[33] == '.' && s[34] == ' ';
}

std::uint32_t wideCluster(util::Bytes s) {
    return (static_cast<std::uint32_t>(util::le16(s, 20)) << 16) | util::le16(s, 26);
}

bool isClusterSize(std::uint32_t k) { return k != 0 && k <= 128 && (k & (k - 1)) == 0; }

int percentOf(std::uint64_t j, std::uint64_t end) {
    if (end == 0) return 100;
    return static_cast<int>(std::min<std::uint64_t>(100, j * 100 / end));
}

// Step 1: the first FAT begins with the media byte 0xF8 followed by 0xFF.
std::uint32_t findReservedSectors(const VolumeRange& range, bool fat32) {
    const std::uint64_t s = range.SectorRangeStart;
    const std::uint32_t first = fat32 ? 30 : 0;
    const std::uint32_t last = fat32 ? 59 : 9;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(last - first + 1) * disk::kSectorSize);
    range.read(s + first, last - first + 1, buf.data());
    std::uint32_t reserved = 0;
    for (std::uint32_t i = first; i <= last; ++i) {
        const std::size_t off = static_cast<std::size_t>(i - first) * disk::kSectorSize;
        if (buf[off] == 0xF8 && buf[off + 1] == 0xFF) reserved = i;
    }
    if (reserved == 0) reserved = fat32 ? 32 : 1;
    return reserved;
}

}  // namespace

int CalculateFatParameters(const std::string& FileSystemKind, const VolumeRange& range, VolumeParameters& params,
                           util::ProgressSink& progress, std::stop_token stop) {
    const bool fat16 = FileSystemKind == "FAT16";
    const bool fat32 = FileSystemKind == "FAT32";
    if (!fat16 && !fat32) return 0;

    progress.setStatusText("Calculating Partition Params...");
    progress.setProgress(0, "Completed ");

    const auto S = static_cast<std::uint32_t>(range.SectorRangeStart);
    const auto L = static_cast<std::uint32_t>(range.SectorRangeEnd);

    params.reservedSectors = findReservedSectors(range, fat32);
    if (fat16) {
        params.rootSectors = kFat16RootSectors;
    } else {
        params.rootStart = 2;
        params.rootSectors = 0;
    }

    bool haveAnchor = false;
    std::uint32_t A = 0;
    std::uint32_t cA = 0;
    std::uint32_t sinceProgress = 0;
    int shownPercent = -1;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(kChunkSectors) * disk::kSectorSize);

    // Sectors are read in chunks; each one is examined on its own, exactly
    // as if it had been read alone (a failed chunk read leaves zeros in the
    // sectors that could not be read).
    for (std::uint64_t chunk = S; chunk < L; chunk += kChunkSectors) {
        if (stop.stop_requested()) return 0;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, L - chunk));
        range.read(chunk, count, buf.data());
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t j = chunk + i;
            const util::Bytes sector(buf.data() + static_cast<std::size_t>(i) * disk::kSectorSize, disk::kSectorSize);
            if (++sinceProgress >= kProgressEverySectors) {
                sinceProgress = 0;
                const int percent = percentOf(j, L);
                if (percent != shownPercent) {
                    shownPercent = percent;
                    progress.setProgress(percent, "Completed ");
                    if (fat32)
                        progress.setStatusText(std::string(94, ' ') + std::to_string(j) + " / " + std::to_string(L) +
                                               std::string(90, ' '));
                }
            }
            if (!isFirstDirectorySector(sector)) continue;
            const auto sj = static_cast<std::uint32_t>(j);
            if (!haveAnchor) {
                const std::uint32_t c = wideCluster(sector);
                if (c >= 2 && c < 0xFFFFFFFFu) {
                    haveAnchor = true;
                    A = sj;
                    cA = c;
                }
                continue;
            }
            const std::uint32_t B = sj;
            const std::uint32_t cB = fat32 ? wideCluster(sector) : util::le16(sector, 26);
            if (cB == cA) continue;
            if (fat32 && cB == 0xFFFFFFFFu) continue;
            const std::uint32_t dSectors = B - A;
            const std::uint32_t dClusters = cB - cA;
            if (dSectors % dClusters != 0) continue;
            if (!(cB < B && cB < A)) continue;
            const std::uint32_t k = dSectors / dClusters;
            if (!isClusterSize(k)) continue;
            if (A - cA * k != B - cB * k) continue;

            std::uint32_t x = A - S - params.reservedSectors - (cA - 2) * k;
            std::uint32_t y = B - S - params.reservedSectors - (cB - 2) * k;
            if (fat16) {
                x -= kFat16RootSectors;
                y -= kFat16RootSectors;
            }
            if (x != y) continue;
            params.cluster0Start = A - cA * k;
            params.sectorsPerCluster = k;
            params.sectorsPerFat = x / 2;
            params.firstFatStart = S + params.reservedSectors;
            params.secondFatStart = params.firstFatStart + params.sectorsPerFat;
            if (fat16) params.rootStart = params.secondFatStart + params.sectorsPerFat;
            progress.setProgress(100, "Completed ");
            return 1;
        }
    }
    return 0;
}

}  // namespace qvx::partition

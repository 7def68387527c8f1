#include "recover/fat_data.h"

#include <algorithm>

#include "disk/sector_reader.h"
#include "fat/cluster_chain.h"
#include "util/le.h"

namespace qvx::recover {

std::uint32_t FatEntryReader::entry(std::uint32_t cluster) {
    const std::uint64_t width = m_volume.isFat32() ? 4 : 2;
    const std::uint64_t byteOffset = static_cast<std::uint64_t>(cluster) * width;
    const std::uint64_t sector = m_volume.params.firstFatStart + byteOffset / disk::kSectorSize;
    if (sector != m_cachedSector) {
        m_cachedSector = sector;
        m_cachedOk = m_volume.readFatSector(sector, m_buf) == 1;
    }
    if (!m_cachedOk) return 0xFFFFFFFFu;
    const util::Bytes b(m_buf, sizeof m_buf);
    const std::size_t at = static_cast<std::size_t>(byteOffset % disk::kSectorSize);
    return width == 4 ? (util::le32(b, at) & 0x0FFFFFFFu) : util::le16(b, at);
}

FatFileData locateFatFile(const fat::FatVolume& volume, std::uint32_t firstCluster, std::uint64_t size,
                          bool deleted) {
    FatFileData out;
    out.layout.size = size;
    if (size == 0) return out;
    const std::uint64_t clusterSectors = volume.params.sectorsPerCluster;
    const std::uint64_t clusterBytes = clusterSectors * disk::kSectorSize;
    const std::uint32_t maxCluster = volume.maxCluster();
    if (clusterBytes == 0 || firstCluster < 2 || firstCluster > maxCluster) {
        out.ok = false;
        out.status = deleted ? kFatOverwritten : kFatIncomplete;
        out.problem = "the first cluster lies outside the volume";
        return out;
    }
    const std::uint64_t needed = (size + clusterBytes - 1) / clusterBytes;

    // An entry still marked in use whose first cluster is free in the FAT
    // belongs to a deleted folder whose files were never marked one by one:
    // its chain is gone just the same.
    FatEntryReader fat(volume);
    if (!deleted && fat.entry(firstCluster) == 0) deleted = true;

    if (!deleted) {
        const fat::ClusterChain chain = fat::BuildClusterChain(volume, firstCluster);
        const std::uint64_t use = std::min<std::uint64_t>(needed, chain.size());
        for (std::uint64_t i = 0; i < use; ++i)
            out.layout.append(Extent{volume.clusterSector(chain[i]), clusterSectors, false});
        if (use < needed) {
            out.status = kFatIncomplete;
            out.problem = "the cluster chain ends after " + std::to_string(chain.size()) + " of " +
                          std::to_string(needed) + " clusters";
        }
        return out;
    }

    // Deleted: the clusters from the first one on. A cluster that the FAT
    // now gives to another file cannot hold this file's data; as careful
    // undelete does, it is stepped over and the next free one taken.
    if (fat.entry(firstCluster) != 0) {
        out.layout.append(Extent{volume.clusterSector(firstCluster), needed * clusterSectors, false});
        out.status = kFatOverwritten;
        out.problem = "its first cluster now belongs to another file";
        return out;
    }
    std::uint64_t taken = 0;
    std::uint64_t skipped = 0;
    // Stepping over more used clusters than the file has means the area
    // was reused; searching further would only gather unrelated data.
    const std::uint64_t maxSkipped = 4 * needed + 1024;
    for (std::uint64_t c = firstCluster; c <= maxCluster && taken < needed && skipped <= maxSkipped; ++c) {
        if (fat.entry(static_cast<std::uint32_t>(c)) != 0) {
            ++skipped;
            continue;
        }
        out.layout.append(Extent{volume.clusterSector(static_cast<std::uint32_t>(c)), clusterSectors, false});
        ++taken;
    }
    if (taken < needed) {
        out.status = kFatIncomplete;
        out.problem = "not enough free clusters follow the first one";
    } else if (skipped > 0) {
        out.status = kFatOverwritten;
        out.problem = std::to_string(skipped) + " clusters in its range belong to other files and were skipped";
    } else {
        out.status = needed <= 1 ? kFatComplete : kFatUnverified;
    }
    return out;
}

}  // namespace qvx::recover

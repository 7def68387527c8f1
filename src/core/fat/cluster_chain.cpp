#include "fat/cluster_chain.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "util/le.h"

namespace qvx::fat {

ClusterChain BuildClusterChain(const FatVolume& volume, std::uint32_t firstCluster) {
    ClusterChain chain;
    chain.push_back(firstCluster);
    if (!volume.isFat()) return chain;
    const auto& p = volume.params;
    if (p.firstFatStart == 0) return chain;

    const bool fat16 = volume.isFat16();
    const unsigned shift = fat16 ? 8 : 7;
    const std::uint32_t indexMask = fat16 ? 0xFF : 0x7F;
    // A chain never has more links than the volume has clusters; a chain
    // that loops is cut where a cluster comes round again.
    // (clusters 2..maxCluster).
    const std::uint32_t maxCluster = volume.maxCluster();
    // 0xFFF7 / 0x0FFFFFF7 marks a bad cluster and everything above it the
    // end of the chain (mkfs.fat ends the FAT32 root with 0x0FFFFFF8): taken
    // as a cluster it would be read from far past the volume, perhaps from
    // another partition. A link past the volume's last cluster is damage.
    // Entries are compared whole, the reserved top bits included.
    const std::uint32_t lastFollowed = std::min(maxCluster, fat16 ? 0xFFF6u : 0x0FFFFFF6u);
    const std::size_t maxLength = maxCluster > 2 ? maxCluster - 1 : 1;
    std::unordered_set<std::uint32_t> seen{firstCluster};

    std::array<std::uint8_t, disk::kSectorSize> fatSector{};
    std::uint64_t loadedSector = 0;
    bool loaded = false;
    std::uint32_t n = firstCluster;
    while (chain.size() < maxLength) {
        const std::uint32_t fatIndex = n >> shift;
        if (fatIndex > p.sectorsPerFat) break;
        const std::uint64_t lba = static_cast<std::uint64_t>(p.firstFatStart) + fatIndex;
        if (!loaded || loadedSector != lba) {
            if (volume.readFatSector(lba, fatSector.data()) != 1) break;
            loaded = true;
            loadedSector = lba;
        }
        const std::size_t index = n & indexMask;
        const util::Bytes b(fatSector);
        const std::uint32_t next = fat16 ? util::le16(b, index * 2) : util::le32(b, index * 4);
        if (next < 2 || next > lastFollowed) break;
        if (!seen.insert(next).second) break;
        chain.push_back(next);
        n = next;
    }
    return chain;
}

}  // namespace qvx::fat

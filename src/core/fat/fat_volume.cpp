#include "fat/fat_volume.h"

#include <algorithm>

namespace qvx::fat {

std::uint32_t FatVolume::maxCluster() const {
    const std::uint32_t spc = params.sectorsPerCluster;
    if (spc == 0 || params.sectorsPerFat == 0 || !isFat()) return 0;
    const std::uint64_t perSector = isFat16() ? 256 : 128;
    std::uint64_t byFat = static_cast<std::uint64_t>(params.sectorsPerFat) * perSector;
    byFat = byFat == 0 ? 0 : byFat - 1;
    const std::uint64_t firstData = clusterSector(2);
    std::uint64_t byArea = 0;
    if (endSector > firstData) byArea = (endSector - firstData) / spc + 1;
    const std::uint64_t limit = isFat16() ? 0xFFFEu : 0x0FFFFFFEu;
    return static_cast<std::uint32_t>(std::min({byFat, byArea, limit}));
}

bool FatSectorCache::get(std::uint64_t lba, std::uint8_t* out) const {
    const auto found = m_sectors.find(lba);
    if (found == m_sectors.end()) return false;
    std::copy(found->second.begin(), found->second.end(), out);
    return true;
}

void FatSectorCache::put(std::uint64_t lba, const std::uint8_t* sector) {
    if (m_sectors.size() >= kMaxSectors) return;
    const auto [at, added] = m_sectors.try_emplace(lba);
    if (added) std::copy(sector, sector + 512, at->second.begin());
}

int FatVolume::readFatSector(std::uint64_t lba, std::uint8_t* sector) const {
    if (fatSectors && fatSectors->get(lba, sector)) return 1;
    const int result = read(lba, 1, sector);
    if (result == 1 && fatSectors) fatSectors->put(lba, sector);
    return result;
}

FatVolume makeFatVolume(const std::string& kind, const partition::VolumeParameters& params,
                        const partition::VolumeRange& range) {
    FatVolume v;
    v.kind = kind;
    v.params = params;
    v.range = range;
    v.endSector = range.SectorRangeEnd;
    return v;
}

}  // namespace qvx::fat

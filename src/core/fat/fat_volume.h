#pragma once
// The FAT volume being read: its kind, geometry and where its sectors come
// from. Every FAT operation takes one of these; nothing here is global.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "partition/validate_volume.h"
#include "partition/volume_parameters.h"
#include "records/folder_tree.h"

namespace qvx::fat {

inline constexpr std::uint32_t kEntrySize = 32;
inline constexpr std::uint32_t kEntriesPerSector = 16;
/// Folder id of the synthetic "QVX_Miscellaneous" folder.
inline constexpr std::uint32_t kMiscellaneousId = records::kMiscFolderId;

/// FAT sectors read once while a volume is listed: a folder's chain and the
/// check of a deleted folder's free entries read the same FAT sector, and
/// neighbouring folders share theirs. Only sectors read whole are kept, so
/// a sector that fails is asked for again, as without the cache. Bounded;
/// past the bound sectors are read as before.
class FatSectorCache {
public:
    static constexpr std::size_t kMaxSectors = 65536;  // 32 MiB of FAT
    /// Copies the sector at lba into out; false when it is not held.
    bool get(std::uint64_t lba, std::uint8_t* out) const;
    void put(std::uint64_t lba, const std::uint8_t* sector);

private:
    std::unordered_map<std::uint64_t, std::array<std::uint8_t, 512>> m_sectors;
};

struct FatVolume {
    std::string kind;                       // "FAT16" or "FAT32"
    partition::VolumeParameters params;     // sector numbers are absolute LBAs
    std::uint64_t endSector = 0;            // scans stop before this sector
    partition::VolumeRange range;           // reader and disk
    int codePage = 850;                     // OEM code page of the short names
    /// When set, FAT sectors are read through it (one user at a time).
    std::shared_ptr<FatSectorCache> fatSectors;

    bool isFat16() const { return kind == "FAT16"; }
    bool isFat32() const { return kind == "FAT32"; }
    bool isFat() const { return isFat16() || isFat32(); }

    /// First sector of cluster n (64-bit, so no wrap for large numbers).
    std::uint64_t clusterSector(std::uint32_t cluster) const {
        return static_cast<std::uint64_t>(cluster) * params.sectorsPerCluster + params.cluster0Start;
    }

    /// Highest cluster number a chain may name: bounded by the entries the
    /// FAT holds and by the data area before endSector. 0 when the geometry
    /// cannot hold any cluster (zero cluster size, no FAT).
    std::uint32_t maxCluster() const;

    /// Clears buffer and reads count sectors into it.
    int read(std::uint64_t lba, std::uint32_t count, void* buffer) const { return range.read(lba, count, buffer); }
    /// One sector of a FAT (512 bytes), as read(lba, 1, sector) gives it.
    int readFatSector(std::uint64_t lba, std::uint8_t* sector) const;
};

/// A volume for a Standard Search of the partition in range.
FatVolume makeFatVolume(const std::string& kind, const partition::VolumeParameters& params,
                        const partition::VolumeRange& range);

}  // namespace qvx::fat

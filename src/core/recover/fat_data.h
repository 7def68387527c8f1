#pragma once
// The contents of a FAT file. A live file follows its cluster chain. A
// deleted file's chain has been cleared from the FAT, so, as careful undelete
// does, its data is taken from its first cluster on, in consecutive free
// clusters, for its size; the FAT then tells how much that can be trusted.

#include <cstdint>
#include <string>

#include "fat/fat_volume.h"
#include "recover/extents.h"

namespace qvx::recover {

/// How far a FAT file's contents can be trusted, as the report names it.
inline constexpr const char* kFatComplete = "complete";        // live chain whole, or deleted in one free cluster
inline constexpr const char* kFatUnverified = "unverified";    // deleted, consecutive clusters all free now
inline constexpr const char* kFatOverwritten = "overwritten";  // a cluster of the range belongs to another file (stepped over)
inline constexpr const char* kFatIncomplete = "incomplete";    // the chain ends early or loops

struct FatFileData {
    FileLayout layout;
    std::string status = kFatComplete;
    bool ok = true;  // false: nothing could be located (bad first cluster)
    std::string problem;
};

/// Locates the clusters of a file whose directory entry gives firstCluster
/// and size.
FatFileData locateFatFile(const fat::FatVolume& volume, std::uint32_t firstCluster, std::uint64_t size,
                          bool deleted);

/// The FAT entry of a cluster (FAT16: 16 bits; FAT32: low 28 bits), read
/// from the first FAT; a read that fails gives 0xFFFFFFFF.
class FatEntryReader {
public:
    explicit FatEntryReader(const fat::FatVolume& volume) : m_volume(volume) {}
    std::uint32_t entry(std::uint32_t cluster);

private:
    const fat::FatVolume& m_volume;
    std::uint64_t m_cachedSector = UINT64_MAX;
    bool m_cachedOk = false;
    std::uint8_t m_buf[512] = {};
};

}  // namespace qvx::recover

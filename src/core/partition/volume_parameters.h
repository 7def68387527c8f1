#pragma once
// Geometry of the volume being analysed, derived from its boot sector (or
// rebuilt from directory clusters for a FAT volume without one). All fields
// are absolute 512-byte LBAs or counts of 512-byte sectors on the selected
// disk, whatever sector size the volume declares (a volume made with
// 4096-byte sectors has sectorsPerCluster 8 for 4 KiB clusters). Positions
// are 64-bit: volumes start beyond 2^32 sectors on disks over 2 TiB.

#include <cstdint>

namespace qvx::partition {

struct VolumeParameters {
    // FAT
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t sectorsPerCluster = 0;   // FAT and NTFS
    std::uint32_t rootSectors = 0;         // FAT16: root entries / 16; FAT32: 0
    std::uint64_t rootStart = 0;           // FAT16: LBA of the root directory; FAT32: root cluster
    std::uint32_t reservedSectors = 0;
    std::uint64_t cluster0Start = 0;       // cluster n starts at cluster0Start + n * sectorsPerCluster
    std::uint64_t firstFatStart = 0;
    std::uint64_t secondFatStart = 0;
    // NTFS
    std::uint64_t mftStart = 0;            // LBA of MFT record 0, or 0
    std::uint64_t mftMirrorStart = 0;      // LBA of the first mirror record, or 0
    std::uint32_t sectorsPerMftRecord = 0; // 2, 4, 6 or 8
    std::uint32_t sectorsPerIndexRecord = 0;

    /// FAT32: the root directory's first cluster, kept in rootStart.
    std::uint32_t rootCluster() const {
        return rootStart > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(rootStart);
    }
};

}  // namespace qvx::partition

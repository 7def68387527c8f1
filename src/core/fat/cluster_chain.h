#pragma once
// Following a file's or directory's clusters through the first FAT.

#include <cstdint>
#include <vector>

#include "fat/fat_volume.h"

namespace qvx::fat {

/// Cluster numbers in chain order.
using ClusterChain = std::vector<std::uint32_t>;

/// The chain that starts at firstCluster (always its first element). FAT16
/// entries 2..0xFFFE and FAT32 entries 2..0x0FFFFFFE are followed; anything
/// else, a failed FAT read, an entry outside the FAT, a cluster met before
/// or more links than the volume has clusters ends the chain.
ClusterChain BuildClusterChain(const FatVolume& volume, std::uint32_t firstCluster);

}  // namespace qvx::fat

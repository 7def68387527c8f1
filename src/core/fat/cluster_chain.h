#pragma once
// Following a file's or directory's clusters through the first FAT.

#include <cstdint>
#include <vector>

#include "fat/fat_volume.h"

namespace qvx::fat {

/// Cluster numbers in chain order.
using ClusterChain = std::vector<std::uint32_t>;

/// The chain that starts at firstCluster (always its first element). Links
/// to clusters 2..the volume's last (at most 0xFFF6 on FAT16, 0x0FFFFFF6 on
/// FAT32; 32-bit entries are not masked) are followed; an end-of-chain or
/// bad-cluster mark, any other value, a failed FAT read, an entry outside the FAT, a cluster met before
/// or more links than the volume has clusters ends the chain.
ClusterChain BuildClusterChain(const FatVolume& volume, std::uint32_t firstCluster);

}  // namespace qvx::fat

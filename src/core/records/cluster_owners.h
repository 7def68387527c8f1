#pragma once
// Which live file owns a cluster: the cluster extents of every live file's
// data, each with its owner (an NTFS record number, or a key the FAT side
// gives a live entry), sorted once and then asked by range. One entry per
// run, not per cluster, so a volume of 200,000 files costs a few MiB.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvx::records {

struct OwnedExtent {
    std::uint64_t firstCluster = 0;
    std::uint64_t clusterCount = 0;
    std::uint64_t owner = 0;
};

class ClusterOwnerIndex {
public:
    /// Bound on the extents kept; a hostile volume cannot exhaust memory.
    static constexpr std::size_t kMaxExtents = std::size_t{1} << 24;

    void clear();
    /// Adds an extent (ignored when empty or past kMaxExtents); call
    /// finish() before asking.
    void add(std::uint64_t firstCluster, std::uint64_t clusterCount, std::uint64_t owner);
    /// Sorts the extents; marks the index built.
    void finish();
    bool built() const { return m_built; }
    std::size_t size() const { return m_extents.size(); }

    /// True when some extent covers the cluster.
    bool owned(std::uint64_t cluster) const;
    /// Appends to owners, in ascending cluster order and without repeats,
    /// the owners of extents overlapping [firstCluster, firstCluster +
    /// clusterCount), until owners holds maxOwners.
    void ownersOf(std::uint64_t firstCluster, std::uint64_t clusterCount, std::vector<std::uint64_t>& owners,
                  std::size_t maxOwners) const;

private:
    /// Index of the first extent that may overlap cluster (every earlier one
    /// ends at or before it).
    std::size_t firstCandidate(std::uint64_t cluster) const;

    std::vector<OwnedExtent> m_extents;  // by first cluster
    std::vector<std::uint64_t> m_maxEnd; // m_maxEnd[i]: the largest end of extents [0, i]
    bool m_built = false;
};

}  // namespace qvx::records

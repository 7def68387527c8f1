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

/// A run of clusters (no owner).
struct ClusterRun {
    std::uint64_t firstCluster = 0;
    std::uint64_t clusterCount = 0;
};

/// The cluster runs of deleted items' data as the MFT walk decoded them,
/// by item index, so that their condition needs no second read of their
/// records. Items are added in increasing index order.
class DeletedItemRuns {
public:
    /// Bound on the runs kept; items past it are simply not found here.
    static constexpr std::size_t kMaxRuns = std::size_t{1} << 24;

    void clear();
    /// Starts the runs of item (none: its data is resident or absent).
    void begin(std::size_t item);
    void addRun(std::uint64_t firstCluster, std::uint64_t clusterCount);
    /// Marks the table complete for an item store of storeSize items.
    void finish(std::size_t storeSize) { m_storeSize = storeSize; }
    /// True when the table was finished for a store of that size (a store
    /// rebuilt since, from a session log say, is not described by it).
    bool describes(std::size_t storeSize) const { return m_storeSize == storeSize && storeSize != 0; }

    /// The runs of item; false when the walk did not note it.
    bool runsOf(std::size_t item, std::vector<ClusterRun>& out) const;
    std::size_t itemCount() const { return m_entries.size(); }

private:
    struct Entry {
        std::size_t item;
        std::uint32_t first;  // into m_runs
        std::uint32_t count;
    };
    std::vector<Entry> m_entries;
    std::vector<ClusterRun> m_runs;
    std::size_t m_storeSize = 0;
    bool m_full = false;
};

/// What the MFT walk keeps of data runs for the condition of deleted
/// items: the runs of every live file (to name owners) and of every
/// deleted item (to test against $Bitmap without reading its record again).
struct WalkRuns {
    ClusterOwnerIndex live;
    DeletedItemRuns deleted;
    void clear() {
        live.clear();
        deleted.clear();
    }
};

}  // namespace qvx::records

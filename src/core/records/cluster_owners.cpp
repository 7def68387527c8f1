#include "records/cluster_owners.h"

#include <algorithm>

namespace qvx::records {

void ClusterOwnerIndex::clear() {
    m_extents.clear();
    m_maxEnd.clear();
    m_built = false;
}

void ClusterOwnerIndex::add(std::uint64_t firstCluster, std::uint64_t clusterCount, std::uint64_t owner) {
    if (clusterCount == 0 || m_extents.size() >= kMaxExtents) return;
    // Saturate instead of wrapping: the extent then simply reaches the end.
    if (clusterCount > UINT64_MAX - firstCluster) clusterCount = UINT64_MAX - firstCluster;
    m_extents.push_back(OwnedExtent{firstCluster, clusterCount, owner});
    m_built = false;
}

void ClusterOwnerIndex::finish() {
    std::sort(m_extents.begin(), m_extents.end(), [](const OwnedExtent& a, const OwnedExtent& b) {
        return a.firstCluster != b.firstCluster ? a.firstCluster < b.firstCluster : a.owner < b.owner;
    });
    m_maxEnd.resize(m_extents.size());
    std::uint64_t maxEnd = 0;
    for (std::size_t i = 0; i < m_extents.size(); ++i) {
        maxEnd = std::max(maxEnd, m_extents[i].firstCluster + m_extents[i].clusterCount);
        m_maxEnd[i] = maxEnd;
    }
    m_built = true;
}

std::size_t ClusterOwnerIndex::firstCandidate(std::uint64_t cluster) const {
    // m_maxEnd is non-decreasing: the first extent whose running end passes
    // the cluster is the first that can reach it.
    return static_cast<std::size_t>(
        std::upper_bound(m_maxEnd.begin(), m_maxEnd.end(), cluster) - m_maxEnd.begin());
}

bool ClusterOwnerIndex::owned(std::uint64_t cluster) const {
    for (std::size_t i = firstCandidate(cluster); i < m_extents.size() && m_extents[i].firstCluster <= cluster; ++i)
        if (cluster - m_extents[i].firstCluster < m_extents[i].clusterCount) return true;
    return false;
}

void ClusterOwnerIndex::ownersOf(std::uint64_t firstCluster, std::uint64_t clusterCount,
                                 std::vector<std::uint64_t>& owners, std::size_t maxOwners) const {
    if (clusterCount == 0) return;
    const std::uint64_t end = clusterCount > UINT64_MAX - firstCluster ? UINT64_MAX : firstCluster + clusterCount;
    for (std::size_t i = firstCandidate(firstCluster); i < m_extents.size() && m_extents[i].firstCluster < end; ++i) {
        if (owners.size() >= maxOwners) return;
        const OwnedExtent& e = m_extents[i];
        if (e.firstCluster + e.clusterCount <= firstCluster) continue;
        if (std::find(owners.begin(), owners.end(), e.owner) == owners.end()) owners.push_back(e.owner);
    }
}

}  // namespace qvx::records

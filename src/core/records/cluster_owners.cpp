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

void DeletedItemRuns::clear() {
    m_entries.clear();
    m_runs.clear();
    m_storeSize = 0;
    m_full = false;
}

void DeletedItemRuns::begin(std::size_t item) {
    m_storeSize = 0;
    if (m_full || m_runs.size() >= kMaxRuns || (!m_entries.empty() && m_entries.back().item >= item)) {
        m_full = true;
        return;
    }
    m_entries.push_back(Entry{item, static_cast<std::uint32_t>(m_runs.size()), 0});
}

void DeletedItemRuns::addRun(std::uint64_t firstCluster, std::uint64_t clusterCount) {
    if (m_full || m_entries.empty() || clusterCount == 0) return;
    if (m_runs.size() >= kMaxRuns) {
        // The item whose runs do not fit is dropped whole: a partial list
        // would understate its condition.
        m_runs.resize(m_entries.back().first);
        m_entries.pop_back();
        m_full = true;
        return;
    }
    m_runs.push_back(ClusterRun{firstCluster, clusterCount});
    ++m_entries.back().count;
}

bool DeletedItemRuns::runsOf(std::size_t item, std::vector<ClusterRun>& out) const {
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), item,
                                     [](const Entry& e, std::size_t i) { return e.item < i; });
    if (it == m_entries.end() || it->item != item) return false;
    out.assign(m_runs.begin() + it->first, m_runs.begin() + it->first + it->count);
    return true;
}

}  // namespace qvx::records

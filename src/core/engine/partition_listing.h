#pragma once
// Reading a disk's partition list as the wizard does when the user leaves
// the disk screen: the partition table, then, when the table is missing,
// corrupted or unreadable, the lost partition search.

#include <stop_token>

#include "disk/inventory.h"
#include "disk/sector_reader.h"
#include "partition/partition_search.h"
#include "partition/partition_table.h"
#include "util/progress.h"

namespace qvx::engine {

/// Decides whether a read failure starts the lost partition search. It acts
/// once (until reset) and only while the disk screen is current: a failed
/// read during an analysis never starts a search.
class ReadFailureTrigger {
public:
    /// The hook: returns true when it acted (help text set, search requested).
    bool OnReadFailure(util::ProgressSink& progress);
    void setDeviceSelection(bool current) { m_deviceSelection = current; }
    void reset() { m_PartitionSearchStarted = 1; m_requested = false; }
    bool searchRequested() const { return m_requested; }
    int PartitionSearchStarted() const { return m_PartitionSearchStarted; }

private:
    int m_PartitionSearchStarted = 1;
    bool m_deviceSelection = true;
    bool m_requested = false;
};

struct PartitionListing {
    partition::DiskPartitionList list;
    partition::TableReadResult table;
    bool searched = false;        // the lost partition search ran
    partition::PartitionSearchResult search;
};

partition::SearchGeometry searchGeometryOf(const disk::DiskDetails& details);

/// Reads the table at sector 0; runs the lost partition search when
/// searchMore is set, or when the read failure hook acted (corrupted table,
/// failed read) or nothing was listed. depth chooses the probing search or
/// the deep one that reads every sector.
PartitionListing listPartitions(disk::SectorReader& reader, int diskIndex, const disk::DiskDetails& details,
                                bool searchMore, ReadFailureTrigger& trigger, std::stop_token stop,
                                util::ProgressSink& progress,
                                partition::SearchDepth depth = partition::SearchDepth::Probes);

}  // namespace qvx::engine

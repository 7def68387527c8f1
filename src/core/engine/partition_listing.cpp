#include "engine/partition_listing.h"

namespace qvx::engine {

bool ReadFailureTrigger::OnReadFailure(util::ProgressSink& progress) {
    if (!m_deviceSelection || m_PartitionSearchStarted != 1) return false;
    progress.setHelpText(partition::kTableCorruptedHelp);
    m_requested = true;
    ++m_PartitionSearchStarted;
    return true;
}

partition::SearchGeometry searchGeometryOf(const disk::DiskDetails& d) {
    return {d.DiskCylindersText, d.DiskHeadsText, d.DiskSectorsPerTrackText, d.DiskTotalSectors};
}

PartitionListing listPartitions(disk::SectorReader& reader, int diskIndex, const disk::DiskDetails& details,
                                bool searchMore, ReadFailureTrigger& trigger, std::stop_token stop,
                                util::ProgressSink& progress, partition::SearchDepth depth) {
    PartitionListing out;
    trigger.setDeviceSelection(true);
    reader.setReadFailureHook([&] { trigger.OnReadFailure(progress); });
    out.table = partition::ReadPartitionTable(reader, diskIndex, 0, details.DiskTotalSectors, out.list,
                                              [&] { trigger.OnReadFailure(progress); });
    // An empty list starts the search through the same hook.
    if (!out.table.partitionsListed) trigger.OnReadFailure(progress);
    reader.setReadFailureHook({});
    trigger.setDeviceSelection(false);

    if (trigger.searchRequested() || searchMore) {
        if (searchMore && !trigger.searchRequested()) progress.setHelpText(partition::kSearchStartHelp);
        out.searched = true;
        out.search =
            partition::SearchPartitions(depth, reader, diskIndex, searchGeometryOf(details), out.list, stop, progress);
    }
    return out;
}

}  // namespace qvx::engine

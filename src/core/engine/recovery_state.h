#pragma once
// The state of one recovery, shared by the wizard's screens and the jobs
// they start: what was chosen (disk, mode, partition, range), the geometry
// of the volume, the record tables and the recovered folder tree. Jobs
// receive it explicitly; one job writes it at a time and the front end reads
// it only after the job has finished.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "disk/sector_reader.h"
#include "ntfs/mft_run_table.h"
#include "partition/partition_table.h"
#include "partition/validate_volume.h"
#include "partition/volume_parameters.h"
#include "records/cluster_owners.h"
#include "records/folder_tree.h"
#include "records/items.h"
#include "records/tables.h"
#include "util/diagnostics.h"

namespace qvx::engine {

enum class SearchMode { Standard, Advance };

/// The parameters and file-system name of the volume whose tree is shown.
struct ActiveVolumeInfo {
    partition::VolumeParameters params;
    std::string fileSystemName;  // "NTFS", "FAT16" or "FAT32"
};

class ConditionCache;

struct RecoveryState {
    /// The one way to the disks; shared with the front end that attached them.
    std::shared_ptr<disk::SectorReader> reader = std::make_shared<disk::SectorReader>();

    SearchMode searchMode = SearchMode::Standard;
    int SelectedDisk = 0;
    std::string SelectedDeviceText;
    std::string FileSystemKind;          // "NTFS", "FAT16" or "FAT32"
    std::uint64_t SectorRangeStart = 0;  // first sector of the volume or range
    std::uint64_t SectorRangeEnd = 0;    // last sector (end input - 1)

    std::array<partition::DiskPartitionList, disk::kMaxDisks> DiskPartitionList;

    partition::VolumeParameters VolumeParameters;
    bool FatParametersValid = false;
    ActiveVolumeInfo ActiveVolume;
    /// OEM code page of FAT short names.
    int oemCodePage = 850;

    records::RecordTables tables;
    /// The typed items of the analysis (NTFS folders, files and streams).
    records::ItemStore items;
    records::FolderNodeList FolderNodeList;
    /// What the last job could not read or decode.
    util::Diagnostics diagnostics;
    ntfs::MftRunTable mftRunTable;
    /// NTFS: the data runs of every live file (by owning record) and of
    /// every deleted item, filled by the Standard Search's walk of the MFT.
    records::WalkRuns walkRuns;
    /// What the condition of deleted items needs from the volume (its
    /// allocation data, who owns what), read on first use; reset by every
    /// search (see engine/data_condition.h).
    std::shared_ptr<ConditionCache> conditions;

    /// 512-byte sectors per logical sector of the selected disk: 1, or 8 on
    /// a 4Kn disk. The engine counts 512-byte sectors; the front ends show
    /// and take the disk's own. Known once the partition table was read.
    std::uint32_t sectorUnits() const {
        return reader ? std::max<std::uint32_t>(1, reader->sectorUnits(SelectedDisk)) : 1;
    }

    /// The selected volume as the validation and the searches read it.
    partition::VolumeRange volumeRange() const {
        partition::VolumeRange range;
        range.reader = reader.get();
        range.diskIndex = SelectedDisk;
        range.SectorRangeStart = SectorRangeStart;
        range.SectorRangeEnd = SectorRangeEnd;
        // A partition entry or boot sector may claim more sectors than the
        // disk has: nothing past the disk's last sector is ever read.
        const std::uint64_t disk = reader ? reader->totalSectors(SelectedDisk) : 0;
        if (disk > 0 && range.SectorRangeEnd > disk - 1) {
            range.ClaimedEnd = range.SectorRangeEnd;
            range.SectorRangeEnd = disk - 1;
        }
        return range;
    }
};

}  // namespace qvx::engine

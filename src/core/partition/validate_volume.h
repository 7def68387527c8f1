#pragma once
// Boot-sector validation of the chosen volume, filling VolumeParameters, and
// the rebuild of a FAT geometry whose boot sectors are gone.

#include <cstdint>
#include <stop_token>
#include <string>

#include "disk/sector_reader.h"
#include "partition/volume_parameters.h"
#include "records/tables.h"
#include "util/progress.h"

namespace qvx::partition {

/// The sectors of the volume under analysis on the selected disk.
struct VolumeRange {
    disk::SectorReader* reader = nullptr;
    int diskIndex = 0;
    std::uint64_t SectorRangeStart = 0;  // first sector of the volume
    std::uint64_t SectorRangeEnd = 0;    // last sector (end input - 1); NTFS keeps its backup boot sector here
    /// The last sector the volume claims when that lies past the disk's end
    /// (a truncated image): structures are bounded by the volume's size,
    /// while reads past the disk's end simply fail. 0 when not set.
    std::uint64_t ClaimedEnd = 0;

    /// 512-byte sectors per logical sector of the disk (8 on a 4Kn disk).
    std::uint32_t diskUnits() const { return reader != nullptr ? reader->sectorUnits(diskIndex) : 1; }

    /// Clears buffer (count sectors) and reads into it; returns ReadSectors' result.
    int read(std::uint64_t lba, std::uint32_t count, void* buffer) const;
    /// The same, returning the number of sectors that could not be read
    /// (left zero); firstBad receives the first of them. Sectors past the
    /// disk's end count as unreadable without being asked for.
    [[nodiscard]] std::uint32_t readCounted(std::uint64_t lba, std::uint32_t count, void* buffer,
                                            std::uint64_t* firstBad = nullptr) const;
};

/// Empties the five analysis tables, sets the status text "Validating
/// Partition ..." and validates the boot sector of the kind ("FAT16",
/// "FAT32" or "NTFS"). 1 when params was filled, 0 otherwise (fields already
/// stored stay).
int ValidateVolume(const std::string& FileSystemKind, const VolumeRange& range, VolumeParameters& params,
                   records::RecordTables& tables, util::ProgressSink& progress);

int validateNtfsVolume(const VolumeRange& range, VolumeParameters& params);
int validateFat16Volume(const VolumeRange& range, VolumeParameters& params);
int validateFat32Volume(const VolumeRange& range, VolumeParameters& params);

/// Rebuilds the FAT geometry from "." / ".." directory clusters; 1 on
/// success, 0 otherwise (always 0 for "NTFS").
int CalculateFatParameters(const std::string& FileSystemKind, const VolumeRange& range, VolumeParameters& params,
                           util::ProgressSink& progress, std::stop_token stop);

}  // namespace qvx::partition

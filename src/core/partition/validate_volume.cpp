#include "partition/validate_volume.h"

#include <algorithm>
#include <cstring>

namespace qvx::partition {

int VolumeRange::read(std::uint64_t lba, std::uint32_t count, void* buffer) const {
    std::memset(buffer, 0, static_cast<std::size_t>(count) * disk::kSectorSize);
    if (reader == nullptr) return 0;
    return reader->ReadSectors(diskIndex, lba, count, buffer);
}

std::uint32_t VolumeRange::readCounted(std::uint64_t lba, std::uint32_t count, void* buffer,
                                       std::uint64_t* firstBad) const {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    if (count == 0) return 0;
    if (reader == nullptr) {
        std::memset(buffer, 0, static_cast<std::size_t>(count) * disk::kSectorSize);
        if (firstBad != nullptr) *firstBad = lba;
        return count;
    }
    const std::uint64_t diskSectors = reader->totalSectors(diskIndex);
    std::uint32_t readable = count;
    if (diskSectors <= lba) readable = 0;
    else if (diskSectors - lba < count) readable = static_cast<std::uint32_t>(diskSectors - lba);
    // A whole read fills its sectors and a failed one is redone sector by
    // sector below, each cleared first: only sectors past the disk's end
    // are cleared here.
    std::memset(bytes + std::size_t{readable} * disk::kSectorSize, 0,
                static_cast<std::size_t>(count - readable) * disk::kSectorSize);
    std::uint32_t bad = count - readable;
    std::uint64_t first = readable < count ? lba + readable : UINT64_MAX;
    if (readable != 0 && reader->ReadSectors(diskIndex, lba, readable, bytes) != 1) {
        // The bulk read failed: find out which sectors are missing.
        std::uint32_t missing = 0;
        for (std::uint32_t i = 0; i < readable; ++i) {
            std::uint8_t* at = bytes + std::size_t{i} * disk::kSectorSize;
            std::memset(at, 0, disk::kSectorSize);
            if (reader->ReadSectors(diskIndex, lba + i, 1, at) != 1) {
                if (missing == 0) first = std::min(first, lba + i);
                ++missing;
            }
        }
        bad += missing;
    }
    if (firstBad != nullptr && bad != 0) *firstBad = first;
    return bad;
}

int ValidateVolume(const std::string& FileSystemKind, const VolumeRange& range, VolumeParameters& params,
                   records::RecordTables& tables, util::ProgressSink& progress) {
    tables.DirectoryScanTable.clear();
    tables.FileTable.clear();
    tables.IndexRecordTable.clear();
    tables.MftRecordTable.clear();
    tables.ntfsScan.clear();
    tables.FolderTable.clear();
    progress.setStatusText("Validating Partition ...");
    if (FileSystemKind == "FAT16") return validateFat16Volume(range, params);
    if (FileSystemKind == "FAT32") return validateFat32Volume(range, params);
    if (FileSystemKind == "NTFS") return validateNtfsVolume(range, params);
    return 0;
}

}  // namespace qvx::partition

#include "partition/validate_volume.h"

#include <cstring>

namespace qvx::partition {

int VolumeRange::read(std::uint64_t lba, std::uint32_t count, void* buffer) const {
    std::memset(buffer, 0, static_cast<std::size_t>(count) * disk::kSectorSize);
    if (reader == nullptr) return 0;
    return reader->ReadSectors(diskIndex, lba, count, buffer);
}

int ValidateVolume(const std::string& FileSystemKind, const VolumeRange& range, VolumeParameters& params,
                   records::RecordTables& tables, util::ProgressSink& progress) {
    tables.DirectoryScanTable.clear();
    tables.FileTable.clear();
    tables.IndexRecordTable.clear();
    tables.MftRecordTable.clear();
    tables.FolderTable.clear();
    progress.setStatusText("Validating Partition ...");
    if (FileSystemKind == "FAT16") return validateFat16Volume(range, params);
    if (FileSystemKind == "FAT32") return validateFat32Volume(range, params);
    if (FileSystemKind == "NTFS") return validateNtfsVolume(range, params);
    return 0;
}

}  // namespace qvx::partition

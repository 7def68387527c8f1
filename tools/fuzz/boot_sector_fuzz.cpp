// Boot-sector validation of an NTFS, FAT16 or FAT32 volume (the selector
// byte picks the kind) over a sparse in-memory disk holding the volume.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_disk.h"
#include "partition/validate_volume.h"
#include "records/tables.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 17);
    static const char* const kinds[] = {"NTFS", "FAT16", "FAT32"};
    const std::string kind = kinds[disk.device->selector() % 3];

    qvx::partition::VolumeRange range;
    range.reader = &disk.reader;
    range.diskIndex = 0;
    range.SectorRangeStart = 0;
    range.SectorRangeEnd = disk.device->sectors() - 1;

    qvx::partition::VolumeParameters params;
    qvx::records::RecordTables tables;
    qvx::util::NullProgress progress;
    qvx::partition::ValidateVolume(kind, range, params, tables, progress);
    return 0;
}

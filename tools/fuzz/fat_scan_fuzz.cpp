// The raw scan of an Advance Search on FAT over a sparse in-memory disk
// (selector bit 0: FAT32, else FAT16): boot sectors and directory clusters
// taken from every sector, then the identification of the file systems.

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

#include "fuzz_disk.h"
#include "records/tables.h"
#include "scan/fat_evidence.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 15);
    const std::string kind = (disk.device->selector() & 1) ? "FAT32" : "FAT16";
    const qvx::partition::VolumeRange range = disk.wholeRange();

    qvx::records::RecordTables tables;
    qvx::util::NullProgress progress;
    qvx::scan::ScanFatEvidence(range, 0, disk.device->sectors(), tables, progress, std::stop_token{});
    qvx::scan::IdentifyFatFileSystems(tables, kind, progress);
    return 0;
}

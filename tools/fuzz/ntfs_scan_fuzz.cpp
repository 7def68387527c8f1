// The raw scan of an Advance Search on NTFS over a sparse in-memory disk:
// boot sectors, FILE records and INDX records taken from every sector, then
// the record numbering and the identification of the file systems.

#include <cstddef>
#include <cstdint>
#include <stop_token>

#include "fuzz_disk.h"
#include "records/tables.h"
#include "scan/ntfs_assignment.h"
#include "scan/ntfs_raw_scan.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 15);
    const qvx::partition::VolumeRange range = disk.wholeRange();

    qvx::records::RecordTables tables;
    qvx::util::NullProgress progress;
    const std::uint64_t end = disk.device->sectors();
    qvx::scan::scanRawNtfs(range, 0, end, tables, progress, std::stop_token{});
    qvx::scan::assignMftNumbers(range, 0, end, tables, progress);
    return 0;
}

// The Standard Search of an NTFS volume over a sparse in-memory disk: boot
// sector validation, the MFT run table (record 0 and the extension records
// its attribute list names), the walk over every record slot with names,
// sizes, listed records and index allocations, the lost directories and the
// folder tree.

#include <cstddef>
#include <cstdint>
#include <stop_token>

#include "fuzz_disk.h"
#include "ntfs/mft_run_table.h"
#include "ntfs/standard_search.h"
#include "partition/validate_volume.h"
#include "records/folder_tree.h"
#include "records/tables.h"
#include "util/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 17);
    const qvx::partition::VolumeRange range = disk.wholeRange();

    qvx::partition::VolumeParameters params;
    if (qvx::partition::validateNtfsVolume(range, params) != 1) return 0;

    qvx::ntfs::MftRunTable runs;
    qvx::records::RecordTables tables;
    qvx::records::FolderNodeList nodes;
    qvx::util::NullProgress progress;
    qvx::records::ItemStore items;
    qvx::util::Diagnostics diagnostics;
    qvx::ntfs::runNtfsStandardSearch(range, params, runs, tables, items, nodes, progress, std::stop_token{},
                                     &diagnostics);
    return 0;
}

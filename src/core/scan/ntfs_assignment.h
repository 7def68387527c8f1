#pragma once
// After the NTFS raw scan: gives every FILE record found its MFT record
// number (from the entries of the folders' index records, else by its
// position among the records), turns the folder records into
// DirectoryScanTable rows, and identifies the NTFS file systems of the range
// from the boot sectors found or from pairs of folders whose first index
// records sit where one cluster geometry puts them.
//
// The matching keeps the results of plain linear searches over the tables
// (first row in table order wins) but looks rows up through indexes built
// once, so tens of thousands of folders take little time; every sector the
// confirmation reads is read once.

#include <cstdint>
#include <stop_token>

#include "partition/validate_volume.h"
#include "records/tables.h"
#include "util/progress.h"

namespace qvx::scan {

inline constexpr std::uint32_t kFallbackSectorsPerCluster = 8;

struct NtfsAssignmentResult {
    int fileSystems = 0;             // identified from boot sectors and folder pairs
    bool wholeRangeFallback = false; // "File System 1 - NTFS" over the scanned range
    int phase1Matches = 0;           // folders numbered from index entries
    bool stopped = false;
};

/// Runs every stage over the scan tables. scanStart and scanEnd (exclusive)
/// are the scanned range; FileSystemTable row k becomes file system k + 1.
NtfsAssignmentResult assignMftNumbers(const partition::VolumeRange& disk, std::uint64_t scanStart,
                                      std::uint64_t scanEnd, records::RecordTables& tables,
                                      util::ProgressSink& progress, std::stop_token stop = {});

}  // namespace qvx::scan

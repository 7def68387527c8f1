#pragma once
// The eight record tables of an analysis, with their column headings.

#include "records/ntfs_scan_records.h"
#include "records/record_table.h"

namespace qvx::records {

/// Column indexes of the folder and file tables.
enum FolderColumn : int {
    kName = 0, kSector, kSelf, kParent, kDate, kTime, kSize, kAttr, kSysId, kType, kDeleted
};

RecordTable makeFolderTable();
RecordTable makeFileTable();
RecordTable makeBootSectorTable();
RecordTable makeFileSystemTable();
RecordTable makeDirectoryScanTable();
RecordTable makeDirectoryMergeTable();
RecordTable makeMftRecordTable();
RecordTable makeIndexRecordTable();

/// The tables one analysis writes and reads; owned by the recovery state.
struct RecordTables {
    RecordTable FolderTable = makeFolderTable();
    RecordTable FileTable = makeFileTable();
    RecordTable BootSectorTable = makeBootSectorTable();
    RecordTable FileSystemTable = makeFileSystemTable();
    RecordTable DirectoryScanTable = makeDirectoryScanTable();
    RecordTable DirectoryMergeTable = makeDirectoryMergeTable();
    RecordTable MftRecordTable = makeMftRecordTable();
    RecordTable IndexRecordTable = makeIndexRecordTable();
    // The NTFS raw scan's records in their compact form (the scan fills
    // them instead of MftRecordTable, IndexRecordTable and the NTFS rows of
    // DirectoryScanTable).
    NtfsScanRecords ntfsScan;
};

}  // namespace qvx::records

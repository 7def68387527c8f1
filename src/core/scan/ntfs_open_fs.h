#pragma once
// Opening one NTFS file system found by an Advance Search: its folders come
// from the scan's folder records (one per record number), its files from
// every FILE record the scan found (as items); folders and files whose parent is missing
// go under "QVX_Miscellaneous", then the folder tree is built.

#include <cstdint>
#include <stop_token>

#include "records/folder_tree.h"
#include "records/items.h"
#include "records/tables.h"
#include "util/progress.h"

namespace qvx::scan {

/// Keeps the first folder record of every record number, in order
/// (DirectoryMergeTable ends empty).
void removeDuplicateDirectories(records::RecordTables& tables);

struct OpenedNtfsFileSystem {
    bool found = false;                  // fsNumber names a FileSystemTable row
    std::uint32_t cluster0Start = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t sectorsPerMftRecord = 2;  // 2, 4 or 8: 1024 to 4096-byte records
    int folders = 0;                     // FolderTable rows added, the synthetic folder aside
};

/// OpenFileSystem for file system fsNumber (1-based): fills FolderTable and
/// FileTable and builds the tree into nodes (both emptied first).
OpenedNtfsFileSystem openNtfsFileSystem(int fsNumber, records::RecordTables& tables, records::ItemStore& items,
                                        records::FolderNodeList& nodes,
                                        util::ProgressSink& progress, std::stop_token stop = {});

}  // namespace qvx::scan

#include "scan/ntfs_open_fs.h"

#include <string>
#include <unordered_set>

#include "ntfs/standard_search.h"
#include "records/lost_directories.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::scan {

namespace {

using records::FolderColumn;
using records::RecordTable;

// DirectoryMergeTable has the first two columns of DirectoryScanTable swapped.
constexpr int kMergeSelfCluster = 0;
constexpr int kMergeSector = 1;

}  // namespace

void removeDuplicateDirectories(records::RecordTables& tables) {
    RecordTable& dirs = tables.DirectoryScanTable;
    RecordTable& merge = tables.DirectoryMergeTable;
    merge.clear();
    std::unordered_set<std::string> seen;
    for (int row = 0; row < dirs.rowCount(); ++row) {
        std::string self(dirs.cell(row, NtfsDirCol::kSelfCluster));
        if (!seen.insert(self).second) continue;
        const int to = merge.appendRow(self);
        merge.setCell(to, kMergeSector, dirs.cell(row, NtfsDirCol::kSector));
        for (int c = NtfsDirCol::kParentCluster; c < dirs.columnCount(); ++c) merge.setCell(to, c, dirs.cell(row, c));
    }
    dirs.clear();
    for (int row = 0; row < merge.rowCount(); ++row) {
        const int to = dirs.appendRow(merge.cell(row, kMergeSector));
        dirs.setCell(to, NtfsDirCol::kSelfCluster, merge.cell(row, kMergeSelfCluster));
        for (int c = NtfsDirCol::kParentCluster; c < merge.columnCount(); ++c) dirs.setCell(to, c, merge.cell(row, c));
    }
    merge.clear();
}

OpenedNtfsFileSystem openNtfsFileSystem(int fsNumber, records::RecordTables& tables, records::ItemStore& items,
                                        records::FolderNodeList& nodes,
                                        util::ProgressSink& progress, std::stop_token stop) {
    OpenedNtfsFileSystem opened;
    const RecordTable& fs = tables.FileSystemTable;
    if (fsNumber < 1 || fsNumber > fs.rowCount()) return opened;
    opened.found = true;
    opened.cluster0Start = fs.getU32(fsNumber - 1, NtfsBootCol::kCluster0Start);
    opened.sectorsPerCluster = fs.getU32(fsNumber - 1, NtfsBootCol::kSpc);
    const std::uint32_t recordSectors = fs.getU32(fsNumber - 1, NtfsBootCol::kRootSectors);
    if (recordSectors == 2 || recordSectors == 4 || recordSectors == kMaxMftRecordBytes / 512)
        opened.sectorsPerMftRecord = recordSectors;

    removeDuplicateDirectories(tables);

    RecordTable& folders = tables.FolderTable;
    folders.clear();
    nodes.clear();
    ntfs::appendMiscellaneousRow(folders);
    // DirectoryScanTable keeps no deleted flag; the folder's FILE record,
    // found by its sector, still has it, so deleted folders show as such.
    std::unordered_set<std::string> deletedSectors;
    const RecordTable& mft = tables.MftRecordTable;
    for (int row = 0; row < mft.rowCount(); ++row)
        if (mft.cell(row, NtfsMftCol::kType) == "FOLDER" && mft.cell(row, NtfsMftCol::kDeleted) == "1")
            deletedSectors.emplace(mft.cell(row, NtfsMftCol::kSector));
    const RecordTable& dirs = tables.DirectoryScanTable;
    for (int row = 0; row < dirs.rowCount(); ++row) {
        if (dirs.getI64(row, NtfsDirCol::kFileSystem) != fsNumber) continue;
        const int to = folders.appendRow(dirs.cell(row, NtfsDirCol::kTime));
        folders.setCell(to, FolderColumn::kSelf, dirs.cell(row, NtfsDirCol::kSelfCluster));
        folders.setCell(to, FolderColumn::kParent, dirs.cell(row, NtfsDirCol::kParentCluster));
        folders.setCell(to, FolderColumn::kDate, dirs.cell(row, NtfsDirCol::kDate));
        folders.setCell(to, FolderColumn::kAttr, "16");
        folders.setCell(to, FolderColumn::kType, "FOLDER");
        if (deletedSectors.count(std::string(dirs.cell(row, NtfsDirCol::kSector))) != 0)
            folders.setCell(to, FolderColumn::kDeleted, "1");
        ++opened.folders;
    }

    // The files are listed before the lost-directory search so that a file
    // whose folder is missing goes under "QVX_Miscellaneous", as after a
    // Standard Search.
    tables.FileTable.clear();
    items.clear();
    const int rows = mft.rowCount();
    const std::string total = " / " + std::to_string(rows);
    for (int row = 0; row < rows; ++row) {
        if ((row & 0xFFF) == 0) {
            progress.setStatusText("Currently Enumerating " + std::to_string(row) + total);
            progress.setProgress(static_cast<int>(std::int64_t{row} * 100 / rows), "Completed ");
        }
        if (mft.cell(row, NtfsMftCol::kType) == "FOLDER") continue;
        records::Item item;
        item.sector = mft.getU64(row, NtfsMftCol::kSector);
        item.record = mft.getU64(row, NtfsMftCol::kSelfMft);
        item.parent = mft.getU64(row, NtfsMftCol::kParentMft);
        item.size = mft.getU64(row, NtfsMftCol::kSize);
        item.fileNameTimes.created = mft.getI64(row, NtfsMftCol::kDate);
        item.times.created = item.fileNameTimes.created;
        item.flags = records::kItemHasFileNameTimes;
        if (mft.cell(row, NtfsMftCol::kDeleted) == "1") item.flags |= records::kItemDeleted;
        items.add(item, mft.cell(row, NtfsMftCol::kName));
    }

    records::FolderTreeSteps steps;
    steps.items = &items;
    steps.nodes = &nodes;
    steps.pleaseWait = true;
    (void)records::finishFolderTree(records::VolumeKind::Ntfs, folders, steps, progress, stop);
    progress.setHelpText(ntfs::kResultHelpText);
    return opened;
}

}  // namespace qvx::scan

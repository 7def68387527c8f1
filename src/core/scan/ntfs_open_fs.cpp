#include "scan/ntfs_open_fs.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "ntfs/standard_search.h"
#include "records/lost_directories.h"
#include "scan/ntfs_raw_scan.h"

namespace qvx::scan {

namespace {

using records::FolderColumn;
using records::RecordTable;

}  // namespace

void removeDuplicateDirectories(records::RecordTables& tables) {
    std::vector<records::NtfsScanFolder>& dirs = tables.ntfsScan.folders;
    tables.DirectoryMergeTable.clear();
    std::unordered_set<std::uint32_t> seen;
    seen.reserve(dirs.size());
    std::size_t kept = 0;
    for (std::size_t row = 0; row < dirs.size(); ++row)
        if (seen.insert(dirs[row].self).second) dirs[kept++] = dirs[row];
    dirs.resize(kept);
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
    const records::NtfsScanRecords& scanned = tables.ntfsScan;
    // A folder shows as deleted when a deleted folder record was found at
    // its sector.
    std::unordered_set<std::uint32_t> deletedSectors;
    for (const records::MftScanRecord& r : scanned.mft)
        if (r.folder && r.deleted) deletedSectors.insert(r.sector);
    for (const records::NtfsScanFolder& dir : scanned.folders) {
        if (dir.fileSystem != static_cast<std::uint64_t>(fsNumber)) continue;
        const int to = folders.appendRow(scanned.name(dir.name));
        folders.setU32(to, FolderColumn::kSelf, dir.self);
        folders.setU32(to, FolderColumn::kParent, dir.parent);
        folders.setI64(to, FolderColumn::kDate, dir.date);
        folders.setCell(to, FolderColumn::kAttr, "16");
        folders.setCell(to, FolderColumn::kType, "FOLDER");
        if (deletedSectors.count(dir.sector) != 0) folders.setCell(to, FolderColumn::kDeleted, "1");
        ++opened.folders;
    }

    // The files are listed before the lost-directory search so that a file
    // whose folder is missing goes under "QVX_Miscellaneous", as after a
    // Standard Search.
    tables.FileTable.clear();
    items.clear();
    // The folder rows are all there now (the lost-directory search changes
    // parents, never which folders exist): a file whose folder is not among
    // them is given "QVX_Miscellaneous" as it is stored, where the tree's
    // last step would otherwise move it. A raw scan finds hundreds of
    // thousands of such records, and each move wrote its item anew.
    const records::KnownParents known(records::VolumeKind::Ntfs, folders);
    const int rows = static_cast<int>(scanned.mft.size());
    const std::string total = " / " + std::to_string(rows);
    for (int row = 0; row < rows; ++row) {
        if ((row & 0xFFF) == 0) {
            progress.setStatusText("Currently Enumerating " + std::to_string(row) + total);
            progress.setProgress(static_cast<int>(std::int64_t{row} * 100 / rows), "Completed ");
        }
        const records::MftScanRecord& r = scanned.mft[static_cast<std::size_t>(row)];
        if (r.folder) continue;
        records::Item item;
        item.sector = r.sector;
        item.record = r.self;
        item.parent = r.parent;
        if (!known.contains(item.parent)) item.parent = records::kMiscFolderId;
        item.size = r.size;
        item.fileNameTimes.created = r.date;
        item.times.created = item.fileNameTimes.created;
        item.flags = records::kItemHasFileNameTimes;
        if (r.deleted) item.flags |= records::kItemDeleted;
        items.add(item, scanned.name(r.name));
    }

    records::FolderTreeSteps steps;
    steps.items = &items;
    steps.nodes = &nodes;
    steps.pleaseWait = true;
    (void)records::finishFolderTree(records::VolumeKind::Ntfs, folders, steps, progress, stop);
    items.releaseUnusedArena();
    progress.setHelpText(ntfs::kResultHelpText);
    return opened;
}

}  // namespace qvx::scan

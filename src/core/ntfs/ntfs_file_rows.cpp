#include "ntfs/ntfs_file_rows.h"

#include <string>

#include "records/file_types.h"
#include "records/tables.h"

namespace qvx::ntfs {

namespace {

void appendRow(const records::RecordTable& FileTable, records::FileList& list, int row) {
    using namespace records;
    FileListRow out;
    const std::string_view name = FileTable.cell(row, kName);
    const auto parent = static_cast<std::uint32_t>(FileTable.getI32(row, kParent));
    const auto self = static_cast<std::uint32_t>(FileTable.getI32(row, kSelf));
    const std::int64_t date = FileTable.getI64(row, kDate);
    out.cells[kListName] = std::string(name);
    out.cells[kListType] = LookupFileType(name, FileTypeVariant::Ntfs);
    out.cells[kListSize] = std::string(FileTable.cell(row, kSize));
    out.cells[kListDate] = ntfsDateText(date);
    out.cells[kListTime] = ntfsTimeText(date);
    out.cells[kListDebug1] = std::string(FileTable.cell(row, kSector));
    out.cells[kListDebug2] = std::to_string(parent);
    out.cells[kListDebug3] = std::to_string(self);
    out.isFolder = false;
    out.deleted = FileTable.cell(row, kDeleted) == "1";
    out.selfId = self;
    out.parentId = parent;
    out.sizeBytes = FileTable.getU64(row, kSize);
    list.push_back(std::move(out));
}

}  // namespace

void fillNtfsFileRows(const records::RecordTable& FileTable, records::FileList& list, std::uint32_t folderNumber,
                      const records::ParentRowIndex* index) {
    if (index != nullptr) {
        for (int row : index->rowsOf(folderNumber)) appendRow(FileTable, list, row);
        return;
    }
    for (int row = 0; row < FileTable.rowCount(); ++row)
        if (static_cast<std::uint32_t>(FileTable.getI32(row, records::kParent)) == folderNumber)
            appendRow(FileTable, list, row);
}

}  // namespace qvx::ntfs

#include "ntfs/ntfs_file_rows.h"

#include <string>

#include "records/file_types.h"

namespace qvx::ntfs {

namespace {

void fillRow(const records::ItemStore& items, std::size_t index, records::FileListRow& out, bool shownCells) {
    using namespace records;
    out.cells[kListName].clear();
    items.appendName(index, out.cells[kListName]);
    const Item& it = items.peek(index);  // nothing else is read from the items below
    const std::string_view name = out.cells[kListName];
    // The date shown is the creation time of the name the file is listed by.
    const std::int64_t date = (it.flags & kItemHasFileNameTimes) != 0 ? it.fileNameTimes.created : it.times.created;
    out.cells[kListDate].clear();
    appendNtfsDateText(out.cells[kListDate], date);
    out.cells[kListTime].clear();
    appendNtfsTimeText(out.cells[kListTime], date);
    if (shownCells) {
        out.cells[kListType] = fileTypeText(name, FileTypeVariant::Ntfs);
        out.cells[kListSize] = std::to_string(it.size);
        out.cells[kListDebug1] = std::to_string(it.sector);
        out.cells[kListDebug2] = std::to_string(it.parent);
        out.cells[kListDebug3] = std::to_string(it.record);
    }
    out.isFolder = false;
    out.deleted = it.deleted();
    out.selfId = static_cast<std::uint32_t>(it.record);
    out.parentId = static_cast<std::uint32_t>(it.parent);
    out.sizeBytes = it.size;
    out.item = index;
    out.times = it.times;
    out.hasTimes = true;
}

}  // namespace

records::FileListRow ntfsFileRow(const records::ItemStore& items, std::size_t index, bool shownCells) {
    records::FileListRow out;
    fillRow(items, index, out, shownCells);
    return out;
}

void fillNtfsFileRow(const records::ItemStore& items, std::size_t index, records::FileListRow& row, bool shownCells) {
    fillRow(items, index, row, shownCells);
}

void fillNtfsFileRows(const records::ItemStore& items, records::FileList& list, std::uint64_t folderNumber,
                      bool shownCells) {
    const std::vector<std::uint32_t> files = items.filesOf(folderNumber);
    // Rows are large (eight texts): made in place, in a list grown once.
    list.reserve(list.size() + files.size());
    for (const std::uint32_t index : files) fillRow(items, index, list.emplace_back(), shownCells);
}

}  // namespace qvx::ntfs

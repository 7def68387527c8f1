#pragma once
// Rows of the file list beside the folder tree: a folder's sub-folders
// first, then its files. Eight columns; the three "Debug Info" columns are
// hidden and carry the numbers later stages need for a row. Also the date
// and time texts of NTFS and FAT entries.

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/folder_tree.h"
#include "records/items.h"
#include "records/record_table.h"

namespace qvx::records {

enum FileListColumn : int {
    kListName = 0, kListType, kListSize, kListDate, kListTime, kListDebug1, kListDebug2, kListDebug3
};

/// "Name" (145), "Type" (100), "Size" (70), "Date" (100), "Time" (70),
/// "Debug Info 1" .. "Debug Info 3" (0).
std::vector<Column> fileListColumns();

struct FileListRow {
    std::array<std::string, 8> cells;
    bool isFolder = false;
    bool deleted = false;           // "Deleted FOLDER", NTFS "Deleted" cell "1", FAT entry marked 0xE5
    std::uint32_t selfId = 0;       // folder id, MFT number, or a FAT file's first cluster
    std::uint32_t parentId = 0;     // id of the folder being listed
    std::uint64_t sizeBytes = 0;
    TreeItemId treeItem = kNoItem;  // folders only
    std::size_t item = static_cast<std::size_t>(-1);  // index in the item store, when the row has an item
    /// Typed times when known (FILETIME values; FAT's are local wall-clock
    /// times, localTimes set), so no stage parses the date and time texts.
    ItemTimes times;
    bool hasTimes = false;
    bool localTimes = false;
    bool volumeLabel = false;       // a FAT volume-label entry
    std::uint8_t attributes = 0;    // FAT: the entry's attribute byte
    std::uint64_t entrySector = 0;  // FAT: the sector of the entry
    std::uint32_t entryOffset = 0;  // and its byte offset there
};

using FileList = std::vector<FileListRow>;

/// Rows of a table grouped by their "parent" cell, each group in table
/// order; lets a caller that lists every folder scan the table once.
class ParentRowIndex {
public:
    explicit ParentRowIndex(const RecordTable& table);
    /// Rows whose parent is parentId, or an empty list.
    const std::vector<int>& rowsOf(std::uint32_t parentId) const;

private:
    std::unordered_map<std::uint32_t, std::vector<int>> m_rows;
};

/// "JAN".."DEC" for 1..12, "ERR" for anything else.
std::string monthAbbreviation(int month);

/// FILETIME (100-ns units since 1601-01-01 UTC) as day-MON-year without
/// padding, e.g. 7-MAR-2009; a negative value reads as 0.
std::string ntfsDateText(std::int64_t fileTime);
/// FILETIME as hour:minute:second without padding, e.g. 9:5:30.
std::string ntfsTimeText(std::int64_t fileTime);
/// The same texts appended to out.
void appendNtfsDateText(std::string& out, std::int64_t fileTime);
void appendNtfsTimeText(std::string& out, std::int64_t fileTime);
/// FAT date word as DD-MON-YYYY, e.g. 07-MAR-2009.
std::string fatDateText(std::uint16_t dateWord);
/// FAT time word as HH:MM.
std::string fatTimeText(std::uint16_t timeWord);

}  // namespace qvx::records

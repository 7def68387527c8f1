#include "records/tables.h"

#include <initializer_list>

namespace qvx::records {

namespace {

RecordTable sameWidth(std::initializer_list<const char*> headings, int width) {
    std::vector<Column> columns;
    columns.reserve(headings.size());
    for (const char* h : headings) columns.push_back(Column{h, width});
    return RecordTable(std::move(columns));
}

std::vector<Column> folderColumns(int deletedWidth) {
    return {{"Name", 100}, {"sector", 50}, {"self", 50},  {"parent", 50},
            {"date", 50},  {"time", 50},   {"size", 50},  {"attr", 50},
            {"sysID", 50}, {"Type", 50},   {"Deleted", deletedWidth}};
}

// Boot sector and file system rows share one layout; for NTFS rows the
// columns carry NTFS values under the FAT headings.
RecordTable bootSectorLayout() {
    return sameWidth({"Sector", "SPF", "SPC", "Root Sectors", "Root Start", "Reserve Sectors",
                      "Cluster0Start", "firstFAT", "secondFAT", "TotalSectors", "PartType"},
                     100);
}

}  // namespace

RecordTable makeFolderTable() { return RecordTable(folderColumns(50)); }

RecordTable makeFileTable() { return RecordTable(folderColumns(1)); }

RecordTable makeBootSectorTable() { return bootSectorLayout(); }

RecordTable makeFileSystemTable() { return bootSectorLayout(); }

RecordTable makeDirectoryScanTable() {
    return RecordTable({{"Sector", 100}, {"Self Cluster", 100}, {"Parent Cluster", 100},
                        {"File System", 100}, {"Date", 25}, {"Time", 25}, {"First Run", 100}});
}

// The first two columns are swapped with respect to the scan table so that
// findRowByFirstCell looks rows up by self cluster.
RecordTable makeDirectoryMergeTable() {
    return RecordTable({{"Self Cluster", 100}, {"Sector", 100}, {"Parent Cluster", 100},
                        {"File System", 100}, {"Date", 25}, {"Time", 25}, {"First Run", 100}});
}

RecordTable makeMftRecordTable() {
    return sameWidth({"name", "Sector", "parentMFT", "selfMFT", "size", "type", "fsNumber", "date",
                      "First Run", "Deleted"},
                     100);
}

RecordTable makeIndexRecordTable() {
    return sameWidth({"sector", "mftReference", "vcn", "fsNumber"}, 60);
}

}  // namespace qvx::records

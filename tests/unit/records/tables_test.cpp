#include "records/tables.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qvx::records {
namespace {

using Layout = std::vector<std::pair<std::string, int>>;

Layout layoutOf(const RecordTable& t) {
    Layout out;
    for (const Column& c : t.columns()) out.emplace_back(c.heading, c.width);
    return out;
}

Layout sameWidth(std::vector<std::string> headings, int width) {
    Layout out;
    for (auto& h : headings) out.emplace_back(std::move(h), width);
    return out;
}

const Layout kBootLayout = sameWidth({"Sector", "SPF", "SPC", "Root Sectors", "Root Start",
                                      "Reserve Sectors", "Cluster0Start", "firstFAT",
                                      "secondFAT", "TotalSectors", "PartType"},
                                     100);

TEST(Tables, FolderAndFileColumns) {
    const Layout folder = {{"Name", 100}, {"sector", 50}, {"self", 50},  {"parent", 50},
                           {"date", 50},  {"time", 50},   {"size", 50},  {"attr", 50},
                           {"sysID", 50}, {"Type", 50},   {"Deleted", 50}};
    EXPECT_EQ(layoutOf(makeFolderTable()), folder);
    Layout file = folder;
    file.back().second = 1;
    EXPECT_EQ(layoutOf(makeFileTable()), file);

    const RecordTable t = makeFolderTable();
    EXPECT_EQ(t.columnIndex("Name"), kName);
    EXPECT_EQ(t.columnIndex("sector"), kSector);
    EXPECT_EQ(t.columnIndex("self"), kSelf);
    EXPECT_EQ(t.columnIndex("parent"), kParent);
    EXPECT_EQ(t.columnIndex("date"), kDate);
    EXPECT_EQ(t.columnIndex("time"), kTime);
    EXPECT_EQ(t.columnIndex("size"), kSize);
    EXPECT_EQ(t.columnIndex("attr"), kAttr);
    EXPECT_EQ(t.columnIndex("sysID"), kSysId);
    EXPECT_EQ(t.columnIndex("Type"), kType);
    EXPECT_EQ(t.columnIndex("Deleted"), kDeleted);
}

TEST(Tables, ScanTableColumns) {
    EXPECT_EQ(layoutOf(makeBootSectorTable()), kBootLayout);
    EXPECT_EQ(layoutOf(makeFileSystemTable()), kBootLayout);
    EXPECT_EQ(layoutOf(makeDirectoryScanTable()),
              (Layout{{"Sector", 100}, {"Self Cluster", 100}, {"Parent Cluster", 100},
                      {"File System", 100}, {"Date", 25}, {"Time", 25}, {"First Run", 100}}));
    EXPECT_EQ(layoutOf(makeDirectoryMergeTable()),
              (Layout{{"Self Cluster", 100}, {"Sector", 100}, {"Parent Cluster", 100},
                      {"File System", 100}, {"Date", 25}, {"Time", 25}, {"First Run", 100}}));
    EXPECT_EQ(layoutOf(makeMftRecordTable()),
              sameWidth({"name", "Sector", "parentMFT", "selfMFT", "size", "type", "fsNumber",
                         "date", "First Run", "Deleted"},
                        100));
    EXPECT_EQ(layoutOf(makeIndexRecordTable()),
              sameWidth({"sector", "mftReference", "vcn", "fsNumber"}, 60));
}

TEST(Tables, RegistryStartsEmptyWithColumns) {
    RecordTables tables;
    EXPECT_EQ(tables.FolderTable.columnCount(), 11);
    EXPECT_EQ(tables.FileTable.columnCount(), 11);
    EXPECT_EQ(tables.BootSectorTable.columnCount(), 11);
    EXPECT_EQ(tables.FileSystemTable.columnCount(), 11);
    EXPECT_EQ(tables.DirectoryScanTable.columnCount(), 7);
    EXPECT_EQ(tables.DirectoryMergeTable.columnCount(), 7);
    EXPECT_EQ(tables.MftRecordTable.columnCount(), 10);
    EXPECT_EQ(tables.IndexRecordTable.columnCount(), 4);
    EXPECT_EQ(tables.FolderTable.rowCount(), 0);
    tables.FolderTable.appendRow("QVX_Miscellaneous");
    EXPECT_EQ(tables.FileTable.rowCount(), 0);
}

}  // namespace
}  // namespace qvx::records

#include "engine/listing_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace qvx::engine {
namespace {

// 2004-02-29 12:00:00 UTC and the following seconds.
constexpr std::int64_t kNoon = 127'225'296'000'000'000LL;
constexpr std::int64_t kSecond = 10'000'000;
constexpr std::uint32_t kNoonUnix = 1078056000u;

records::Item ntfsFile(std::uint64_t record) {
    records::Item it;
    it.record = record;
    it.parent = 5;
    it.size = 1584;
    it.times = {kNoon, kNoon + 1 * kSecond, kNoon + 2 * kSecond, kNoon + 3 * kSecond};
    it.fileNameTimes = {kNoon + 10 * kSecond, kNoon + 11 * kSecond, kNoon + 12 * kSecond, kNoon + 13 * kSecond};
    it.flags = records::kItemHasFileNameTimes;
    it.attribute = records::ItemAttribute::Data;
    it.attributeId = 3;
    it.fileNameId = 2;
    it.fileNameUnits = 9;  // "frag1.dat"
    it.attributes = 0x20;
    return it;
}

records::FileListRow rowOf(const records::ItemStore& items, std::size_t index) {
    records::FileListRow row;
    const records::Item& it = items[index];
    row.cells[records::kListName] = std::string(items.name(index));
    row.deleted = it.deleted();
    row.selfId = static_cast<std::uint32_t>(it.record);
    row.parentId = static_cast<std::uint32_t>(it.parent);
    row.sizeBytes = it.size;
    row.item = index;
    row.times = it.times;
    row.hasTimes = true;
    return row;
}

std::string times(std::uint32_t a, std::uint32_t m, std::uint32_t c, std::uint32_t cr) {
    return std::to_string(a) + "|" + std::to_string(m) + "|" + std::to_string(c) + "|" + std::to_string(cr);
}

TEST(Bodyfile, NtfsFileGivesItsDataAndFileNameLines) {
    records::ItemStore items;
    records::Item it = ntfsFile(29);
    it.flags |= records::kItemDeleted;
    items.add(it, "frag1.dat");
    ListingVolume volume;
    volume.items = &items;
    std::string out;
    appendBodyfileLines(out, volume, "frag1.dat", rowOf(items, 0));
    // atime|mtime|ctime|crtime: accessed, modified, MFT changed, created.
    EXPECT_EQ(out, "0|/frag1.dat (deleted)|29-128-3|-/rrwxrwxrwx|0|0|1584|" +
                       times(kNoonUnix + 3, kNoonUnix + 1, kNoonUnix + 2, kNoonUnix) +
                       "\n0|/frag1.dat ($FILE_NAME) (deleted)|29-48-2|-/rrwxrwxrwx|0|0|84|" +
                       times(kNoonUnix + 13, kNoonUnix + 11, kNoonUnix + 12, kNoonUnix + 10) + "\n");
}

TEST(Bodyfile, NtfsStreamHasOnlyItsDataLineAndFolderStreamsTheFolderType) {
    records::ItemStore items;
    records::Item folder = ntfsFile(40);
    folder.flags |= records::kItemFolder;
    folder.attribute = records::ItemAttribute::IndexRoot;
    folder.attributeId = 1;
    folder.size = 48;
    folder.attributes = 0x02;  // hidden: no write bits
    items.add(folder, "dir");
    records::Item stream = ntfsFile(40);
    stream.flags |= records::kItemStream;
    stream.attributeId = 6;
    stream.size = 19;
    stream.attributes = 0x01;  // read-only: no read bits
    items.add(stream, "dir", "ads");
    ListingVolume volume;
    volume.items = &items;
    records::FileListRow folderRow = rowOf(items, 0);
    folderRow.isFolder = true;
    folderRow.sizeBytes = 0;
    std::string out;
    appendBodyfileLines(out, volume, "dir", folderRow);
    EXPECT_EQ(out.substr(0, out.find('\n')), "0|/dir|40-144-1|d/dr-xr-xr-x|0|0|48|" +
                                                 times(kNoonUnix + 3, kNoonUnix + 1, kNoonUnix + 2, kNoonUnix));
    out.clear();
    appendBodyfileLines(out, volume, "dir:ads", rowOf(items, 1));
    EXPECT_EQ(out, "0|/dir:ads|40-128-6|d/d-wx-wx-wx|0|0|19|" +
                       times(kNoonUnix + 3, kNoonUnix + 1, kNoonUnix + 2, kNoonUnix) + "\n");
}

TEST(Bodyfile, FileListedOnlyByItsStreamsGetsTheFileNameLine) {
    records::ItemStore items;
    records::Item stream = ntfsFile(9);
    stream.flags |= records::kItemStream | records::kItemNamesFile;
    stream.attribute = records::ItemAttribute::IndexRoot;
    stream.attributeId = 11;
    stream.fileNameId = 7;
    stream.fileNameUnits = 7;
    stream.fileNameTimes = {};
    items.add(stream, "$Secure", "$SDH");
    ListingVolume volume;
    volume.items = &items;
    std::string out;
    appendBodyfileLines(out, volume, "$Secure:$SDH", rowOf(items, 0));
    // A stored 0 is written as fls writes it.
    EXPECT_EQ(out.substr(out.find('\n') + 1),
              "0|/$Secure ($FILE_NAME)|9-48-7|r/rrwxrwxrwx|0|0|80|3373865674|3373865674|3373865674|3373865674\n");
}

TEST(Bodyfile, ItemFromASessionLogHasTheRecordAloneAndNoFileNameLine) {
    records::ItemStore items;
    records::Item it;
    it.record = 31;
    it.size = 780;
    it.times.created = kNoon;
    it.fileNameTimes.created = kNoon;
    it.flags = records::kItemHasFileNameTimes | records::kItemFromLog;
    items.add(it, "sing1.dat");
    ListingVolume volume;
    volume.items = &items;
    std::string out;
    appendBodyfileLines(out, volume, "sing1.dat", rowOf(items, 0));
    // The one date a log keeps is the $FILE_NAME creation, which is no time of this line.
    EXPECT_EQ(out, "0|/sing1.dat|31|r/rrwxrwxrwx|0|0|780|0|0|0|0\n");
    out.clear();
    appendJsonRow(out, volume, "sing1.dat", rowOf(items, 0));
    EXPECT_NE(out.find("\"record\":31,\"created\":null,\"modified\":null,\"accessed\":null,\"changed\":null}"),
              std::string::npos)
        << out;
}

class FatZone : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

records::FileListRow fatRow(const char* name) {
    records::FileListRow row;
    row.cells[records::kListName] = name;
    row.hasTimes = true;
    row.localTimes = true;
    // 2004-02-29: written 12:00:04, created 12:00:00 plus 1.00 s of hundredths, read that day.
    row.times.modified = records::fatToFileTime(static_cast<std::uint16_t>((24 << 9) | (2 << 5) | 29),
                                                static_cast<std::uint16_t>((12 << 11) | 2));
    row.times.created = records::fatToFileTime(static_cast<std::uint16_t>((24 << 9) | (2 << 5) | 29),
                                               static_cast<std::uint16_t>(12 << 11), 100);
    row.times.accessed = records::fatToFileTime(static_cast<std::uint16_t>((24 << 9) | (2 << 5) | 29), 0);
    row.sizeBytes = 5000;
    row.selfId = 7;
    return row;
}

TEST_F(FatZone, EntryNumberFromSectorAndOffsetAndWallClockTimes) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat32;
    volume.fatDataStart = 1000;
    records::FileListRow row = fatRow("old_draft.txt");
    row.deleted = true;
    row.entrySector = 1002;
    row.entryOffset = 96;
    std::string out;
    appendBodyfileLines(out, volume, "Docs/old_draft.txt", row);
    // (2 sectors * 16 entries) + 3 + 3; no change time on FAT; exactly one
    // second of hundredths is not counted.
    EXPECT_EQ(out, "0|/Docs/old_draft.txt (deleted)|38|r/rrwxrwxrwx|0|0|5000|" +
                       times(kNoonUnix - 12 * 3600, kNoonUnix + 4, 0, kNoonUnix) + "\n");
}

TEST_F(FatZone, LabelAndFolderLines) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat16;
    volume.fatDataStart = 500;
    volume.fatFolderBytes = [](std::uint32_t cluster, bool deleted) -> std::uint64_t {
        return deleted ? 2048 : cluster * 1000;
    };
    records::FileListRow label = fatRow("MY DISK");
    label.volumeLabel = true;
    label.entrySector = 500;
    label.sizeBytes = 0;
    std::string out;
    appendBodyfileLines(out, volume, "MY DISK", label);
    EXPECT_EQ(out.substr(0, out.find('|', 2)), "0|/MY DISK     (Volume Label Entry)");
    records::FileListRow folder = fatRow("Trash");
    folder.isFolder = true;
    folder.deleted = true;
    folder.attributes = 0x12;
    folder.entrySector = 500;
    folder.entryOffset = 32;
    out.clear();
    appendBodyfileLines(out, volume, "Trash", folder);
    EXPECT_EQ(out.substr(0, out.find('|', out.find("|0|0|") + 5)), "0|/Trash (deleted)|4|d/dr-xr-xr-x|0|0|2048");
}

TEST(Bodyfile, MiscellaneousFolderIsNoEntryAndControlCharactersAreMarked) {
    ListingVolume volume;
    records::ItemStore items;
    volume.items = &items;
    records::FileListRow misc;
    misc.isFolder = true;
    misc.selfId = records::kMiscFolderId;
    std::string out;
    appendBodyfileLines(out, volume, records::kMiscFolderName, misc);
    EXPECT_EQ(out, "");
    records::FileListRow odd;
    odd.selfId = 50;
    appendBodyfileLines(out, volume, "a\tb\x01", odd);
    EXPECT_EQ(out.substr(0, out.find('|', 2)), "0|/a^b^");
}

TEST(JsonRow, KeepsTheOldKeysInOrderAndAddsRecordAndTimes) {
    records::ItemStore items;
    items.add(ntfsFile(29), "frag1.dat");
    ListingVolume volume;
    volume.items = &items;
    records::FileListRow row = rowOf(items, 0);
    row.cells[records::kListDate] = "29-FEB-2004";
    row.cells[records::kListTime] = "12:0:0";
    std::string out;
    appendJsonRow(out, volume, "frag1.dat", row);
    EXPECT_EQ(out,
              "{\"path\":\"frag1.dat\",\"name\":\"frag1.dat\",\"type\":\"file\",\"deleted\":false,\"size\":1584,"
              "\"date\":\"29-FEB-2004\",\"time\":\"12:0:0\",\"self\":29,\"parent\":5,\"record\":29,"
              "\"created\":\"2004-02-29T12:00:00Z\",\"modified\":\"2004-02-29T12:00:01Z\","
              "\"accessed\":\"2004-02-29T12:00:03Z\",\"changed\":\"2004-02-29T12:00:02Z\"}\n");
}

TEST(JsonRow, FatRecordIsTheEntryPlaceAndTimesHaveNoZone) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat32;
    records::FileListRow row = fatRow("a.txt");
    row.entrySector = 1002;
    row.entryOffset = 96;
    std::string out;
    appendJsonRow(out, volume, "a.txt", row);
    EXPECT_NE(out.find(",\"record\":{\"sector\":1002,\"offset\":96},\"created\":\"2004-02-29T12:00:01\","
                       "\"modified\":\"2004-02-29T12:00:04\",\"accessed\":\"2004-02-29T00:00:00\"}"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("changed"), std::string::npos);
}

TEST(Csv, HeaderAndQuotedFields) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat16;
    records::FileListRow row = fatRow("a,\"b\".txt");
    row.hasTimes = false;
    std::string out;
    appendCsvRow(out, volume, "x/a,\"b\".txt", row);
    EXPECT_EQ(csvHeader(), "path,name,type,deleted,size,date,time,self,parent,record,created,modified,accessed,changed\r\n");
    EXPECT_EQ(out, "\"x/a,\"\"b\"\".txt\",\"a,\"\"b\"\".txt\",file,false,5000,,,7,0,,,,,\r\n");
}

TEST(ListingWriter, WritesRowByRowAndCsvStartsWithItsHeader) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat16;
    std::ostringstream out;
    auto writer = makeListingWriter(ListingFormat::Csv, out, volume);
    ASSERT_NE(writer, nullptr);
    writer->begin();
    EXPECT_EQ(out.str(), csvHeader());
    writer->row("a.txt", fatRow("a.txt"), false);
    writer->end();
    EXPECT_EQ(out.str().rfind("a.txt,a.txt,file,", csvHeader().size()), csvHeader().size());
    ListingFormat f = ListingFormat::Text;
    EXPECT_TRUE(parseListingFormat("bodyfile", f));
    EXPECT_EQ(f, ListingFormat::Bodyfile);
    EXPECT_FALSE(parseListingFormat("xml", f));
    EXPECT_EQ(makeListingWriter(ListingFormat::Text, out, volume), nullptr);
}

TEST(ListingWriter, LongListingsReachTheStreamWhileTheyAreWritten) {
    // Rows are passed on in bounded chunks, not kept until the end.
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat16;
    std::ostringstream out;
    auto writer = makeListingWriter(ListingFormat::Json, out, volume);
    ASSERT_NE(writer, nullptr);
    writer->begin();
    std::size_t rows = 0;
    while (out.str().empty() && rows < 100000) {
        writer->row("a.txt", fatRow("a.txt"), false);
        ++rows;
    }
    EXPECT_LT(rows, 100000u);
    const std::size_t written = out.str().size();
    EXPECT_LT(written, std::size_t{256} * 1024);
    writer->row("last.txt", fatRow("last.txt"), false);
    writer->end();
    const std::string all = out.str();
    EXPECT_NE(all.find("\"path\":\"last.txt\""), std::string::npos);
    EXPECT_EQ(static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n')), rows + 1);
}

TEST(ListingWriter, DeletedItemsInABodyFileAreFollowedByTheirConditionAsAComment) {
    ListingVolume volume;
    volume.kind = records::VolumeKind::Fat16;
    volume.jsonExtra = [](std::string& out, const records::FileListRow& row, bool insideDeleted) {
        out += std::string(",\"condition\":\"") + (insideDeleted ? "inside" : row.deleted ? "gone" : "live") + "\"";
    };
    std::ostringstream out;
    auto writer = makeListingWriter(ListingFormat::Bodyfile, out, volume);
    ASSERT_NE(writer, nullptr);
    writer->row("live.txt", fatRow("live.txt"), false);
    records::FileListRow gone = fatRow("gone.txt");
    gone.deleted = true;
    writer->row("gone.txt", gone, false);
    writer->row("old/in.txt", fatRow("in.txt"), true);
    writer->end();
    std::vector<std::string> comments;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("#")) comments.push_back(line);
        else EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 10) << line;
    EXPECT_EQ(comments, (std::vector<std::string>{"# {\"name\":\"/gone.txt (deleted)\",\"condition\":\"gone\"}",
                                                  "# {\"name\":\"/old/in.txt\",\"condition\":\"inside\"}"}));
}

}  // namespace
}  // namespace qvx::engine

#include "scan/ntfs_raw_scan.h"

#include <gtest/gtest.h>

#include <random>

#include "ntfs_image_builder.h"
#include "records/tables.h"

namespace qvx::scan {
namespace {

using test::buildIndx;
using test::buildNtfsBoot;
using test::Image;
using test::IndexEntry;
using test::SampleVolume;
using test::put16;
using test::put32;

struct Scanned {
    records::RecordTables tables;
    NtfsScanResult result;
};

Scanned scan(const Image& image, std::uint64_t start, std::uint64_t end) {
    auto reader = image.reader();
    partition::VolumeRange disk;
    disk.reader = reader.get();
    Scanned s;
    util::NullProgress progress;
    s.result = scanRawNtfs(disk, start, end, s.tables, progress, {});
    writeNtfsScanTables(s.tables);
    return s;
}

int rowWithName(const records::RecordTable& mft, std::string_view name) {
    for (int row = 0; row < mft.rowCount(); ++row)
        if (mft.cell(row, NtfsMftCol::kName) == name) return row;
    return -1;
}

TEST(NtfsRawScan, BootSectorRowCarriesTheGeometry) {
    Image image(4096);
    std::vector<std::uint8_t> boot = buildNtfsBoot(0x1'0000'0800, 4, 0x1234);
    image.place(3000, boot);
    const Scanned s = scan(image, 0, image.sectors());
    ASSERT_EQ(s.tables.BootSectorTable.rowCount(), 1);
    const records::RecordTable& b = s.tables.BootSectorTable;
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSector), "3000");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSpf), "4");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSpc), "8");        // 0xF4: 4096-byte index records
    EXPECT_EQ(b.cell(0, NtfsBootCol::kRootSectors), "2");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kRootStart), "2048");  // low 32 bits of the total
    EXPECT_EQ(b.cell(0, NtfsBootCol::kReserveSectors), "4660");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kCluster0Start), "2");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kFirstFat), "");
}

TEST(NtfsRawScan, IndexRecordSizeOtherThanF4IsClustersTimesSpc) {
    std::vector<std::uint8_t> boot = buildNtfsBoot(100, 2);
    boot[0x44] = 3;
    records::RecordTable table = records::makeBootSectorTable();
    addNtfsBootSectorRow(boot, 7, table);
    EXPECT_EQ(table.cell(0, NtfsBootCol::kSpc), "6");
    boot[0x44] = 0xF4;
    boot[0x45] = 1;  // not the one value that means 4096 bytes
    addNtfsBootSectorRow(boot, 7, table);
    EXPECT_EQ(table.cell(1, NtfsBootCol::kSpc), std::to_string(0x1F4u * 2));
}

TEST(NtfsRawScan, FileRecordsGiveRowsWithNumbersNamesAndFlags) {
    Image image(4096);
    SampleVolume{}.write(image);
    const Scanned s = scan(image, 0, image.sectors());
    const records::RecordTable& mft = s.tables.MftRecordTable;
    ASSERT_EQ(mft.rowCount(), 9);

    const int docs = rowWithName(mft, "Docs");
    ASSERT_GE(docs, 0);
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kType), "FOLDER");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kSelfMft), "64");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kParentMft), "5");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kFirstRun), "120");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kSector), std::to_string(32 + 2 * 64));
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kDate), "640");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kFsNumber), "0");
    EXPECT_EQ(mft.cell(docs, NtfsMftCol::kDeleted), "");

    const int file = rowWithName(mft, "b.doc");
    EXPECT_EQ(mft.cell(file, NtfsMftCol::kType), "File");
    EXPECT_EQ(mft.cell(file, NtfsMftCol::kSelfMft), "0");  // numbered later by position
    EXPECT_EQ(mft.cell(file, NtfsMftCol::kSize), "22");
    EXPECT_EQ(mft.cell(file, NtfsMftCol::kFirstRun), "0");
    EXPECT_EQ(mft.cell(rowWithName(mft, "gone.txt"), NtfsMftCol::kDeleted), "1");
    EXPECT_EQ(mft.cell(rowWithName(mft, "$MFT"), NtfsMftCol::kSelfMft), "1");
    EXPECT_EQ(mft.cell(rowWithName(mft, "Empty"), NtfsMftCol::kFirstRun), "0");

    const records::RecordTable& indx = s.tables.IndexRecordTable;
    ASSERT_EQ(indx.rowCount(), 2);
    EXPECT_EQ(indx.cell(0, NtfsIndexCol::kSector), "800");
    EXPECT_EQ(indx.cell(0, NtfsIndexCol::kMftReference), "5");
    EXPECT_EQ(indx.cell(1, NtfsIndexCol::kMftReference), "64");
    EXPECT_EQ(indx.cell(1, NtfsIndexCol::kVcn), "0");
    EXPECT_EQ(indx.cell(1, NtfsIndexCol::kFsNumber), "4294967295");
    EXPECT_EQ(s.tables.BootSectorTable.rowCount(), 2);  // the boot sector and its backup
}

TEST(NtfsRawScan, PosixOnlyNamesAreTaken) {
    Image image(64);
    image.place(10, test::fileRecord(40, "posix name", 5, 5, 1, 0));
    const Scanned s = scan(image, 0, 64);
    ASSERT_EQ(s.tables.MftRecordTable.rowCount(), 1);
    EXPECT_EQ(s.tables.MftRecordTable.cell(0, NtfsMftCol::kName), "posix name");
}

TEST(NtfsRawScan, RecordsOtherThanOneKibibyteOrEndingLikeABootSectorAreNotTaken) {
    Image image(64);
    std::vector<std::uint8_t> big = test::fileRecord(40, "big", 5, 5);
    put16(big, 0x1C, 4096);
    image.place(4, big);
    std::vector<std::uint8_t> signed55 = test::fileRecord(41, "boot end", 5, 5);
    signed55[510] = 0x55;
    signed55[511] = 0xAA;
    image.place(10, signed55);
    const Scanned s = scan(image, 0, 64);
    EXPECT_EQ(s.tables.MftRecordTable.rowCount(), 0);
    EXPECT_EQ(s.tables.BootSectorTable.rowCount(), 0);
}

TEST(NtfsRawScan, RecordsAcrossAChunkBoundaryAndInTheLastChunkAreRead) {
    Image image(3000);
    image.place(1023, test::fileRecord(40, "straddles", 5, 77));
    std::vector<std::uint8_t> indx = buildIndx(3, {{41, 99, 0, "x", false}});
    image.place(2044, indx);  // runs past the end of the disk image? no: 2044 + 8 <= 3000
    image.place(2990, test::fileRecord(42, "tail", 5, 1));
    // The range ends at 2100, but the chunk from 2048 is examined whole.
    const Scanned s = scan(image, 0, 2100);
    const records::RecordTable& mft = s.tables.MftRecordTable;
    ASSERT_EQ(mft.rowCount(), 2);
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kName), "straddles");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSize), "77");  // the fixup of the second sector came from the next chunk
    EXPECT_EQ(mft.cell(1, NtfsMftCol::kName), "tail");
    ASSERT_EQ(s.tables.IndexRecordTable.rowCount(), 1);
    EXPECT_EQ(s.tables.IndexRecordTable.cell(0, NtfsIndexCol::kMftReference), "99");
    EXPECT_EQ(s.tables.IndexRecordTable.cell(0, NtfsIndexCol::kVcn), "3");
}

TEST(NtfsRawScan, RecordsAcrossTheEndOfOneReadAreWhole) {
    // Eight chunks are read at once: a record in the last sector of the
    // eighth chunk takes its second half from the next read.
    const std::uint64_t last = std::uint64_t{kScanChunkSectors} * kScanChunksPerRead - 1;
    Image image(2 * (last + 1) + 3000);
    image.place(last, test::fileRecord(40, "window end", 5, 77));
    std::vector<std::uint8_t> indx = buildIndx(0, {{41, 99, 0, "x", false}});
    const std::uint64_t indxAt = 2 * (last + 1) - 4;
    image.place(indxAt, indx);  // 8 sectors: half of them in the third read
    // Only the first half of a record fits in the disk's last sector.
    std::vector<std::uint8_t> tail = test::fileRecord(42, "disk end", 5, 1);
    tail.resize(512);
    image.place(image.sectors() - 1, tail);
    const Scanned s = scan(image, 0, image.sectors());
    const records::RecordTable& mft = s.tables.MftRecordTable;
    ASSERT_EQ(mft.rowCount(), 2);
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kName), "window end");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSize), "77");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSector), std::to_string(last));
    EXPECT_EQ(mft.cell(1, NtfsMftCol::kSector), std::to_string(image.sectors() - 1));  // its second half is zeros
    ASSERT_EQ(s.tables.IndexRecordTable.rowCount(), 1);
    EXPECT_EQ(s.tables.IndexRecordTable.cell(0, NtfsIndexCol::kMftReference), "99");
    // Every sector beginning with "INDX" is noted, in order.
    EXPECT_EQ(s.tables.ntfsScan.indxSectors, std::vector<std::uint64_t>{indxAt});
    EXPECT_EQ(s.tables.ntfsScan.seenFrom, 0u);
    EXPECT_GE(s.tables.ntfsScan.seenTo, image.sectors());
}

TEST(NtfsRawScan, IndexRecordsWithBadSizesOffsetsOrOwnersGiveNoRow) {
    Image image(256);
    std::vector<std::uint8_t> huge = buildIndx(0, {{41, 99, 0, "x", false}});
    put32(huge, 0x20, 65536 - 23);  // one byte over the limit
    image.place(0, huge);
    std::vector<std::uint8_t> outside = buildIndx(0, {{41, 99, 0, "x", false}});
    put32(outside, 0x18, 4096 - 24 - 19);  // first entry too close to the end
    image.place(16, outside);
    std::vector<std::uint8_t> wrapped = buildIndx(0, {{41, 99, 0, "x", false}});
    put32(wrapped, 0x18, 0xFFFFFFF0u);
    image.place(32, wrapped);
    image.place(48, buildIndx(0, {{41, 4, 0, "x", false}}));  // system owner
    image.place(64, buildIndx(0, {{41, 0xFFFFFFFFu, 0, "x", false}}));
    std::vector<std::uint8_t> tiny = buildIndx(0, {{41, 99, 0, "x", false}});
    put32(tiny, 0x20, 0);  // 24 bytes: the first entry cannot fit
    image.place(80, tiny);
    image.place(96, buildIndx(0, {{41, 99, 0, "x", false}}));
    const Scanned s = scan(image, 0, 256);
    ASSERT_EQ(s.tables.IndexRecordTable.rowCount(), 1);
    EXPECT_EQ(s.tables.IndexRecordTable.cell(0, NtfsIndexCol::kSector), "96");
}

TEST(NtfsRawScan, StopEndsTheScanBetweenChunks) {
    Image image(4096);
    SampleVolume{}.write(image);
    auto reader = image.reader();
    partition::VolumeRange disk;
    disk.reader = reader.get();
    records::RecordTables tables;
    util::NullProgress progress;
    std::stop_source source;
    source.request_stop();
    const NtfsScanResult result = scanRawNtfs(disk, 0, 4096, tables, progress, source.get_token());
    EXPECT_TRUE(result.stopped);
    EXPECT_TRUE(tables.ntfsScan.mft.empty());
    EXPECT_TRUE(tables.ntfsScan.index.empty());
}

TEST(NtfsRawScan, GarbageNeverCrashesOrLoops) {
    std::mt19937 random(1234);
    Image image(2048);
    SampleVolume{}.write(image);
    for (int round = 0; round < 30; ++round) {
        std::vector<std::uint8_t>& bytes = image.bytes();
        // Damage the records in place: their signatures stay, fields go wild.
        for (int k = 0; k < 400; ++k) {
            const std::size_t sector = random() % 2048;
            const std::size_t offset = random() % 512;
            if (offset < 4) continue;
            bytes[sector * 512 + offset] = static_cast<std::uint8_t>(random());
        }
        const Scanned s = scan(image, 0, 2048);
        EXPECT_LE(s.tables.MftRecordTable.rowCount(), 1024);
    }
}

}  // namespace
}  // namespace qvx::scan

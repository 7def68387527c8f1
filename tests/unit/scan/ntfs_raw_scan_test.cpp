#include "scan/ntfs_raw_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ntfs_image_builder.h"
#include "records/tables.h"
#include "scan/scan_window.h"

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

/// Everything a scan found, as text: the three tables and the noted INDX
/// sectors and folder entries.
std::vector<std::string> everythingFound(const Image& image, bool mappable, std::set<std::uint64_t> bad = {}) {
    auto reader = image.reader(mappable, std::move(bad));
    partition::VolumeRange disk;
    disk.reader = reader.get();
    records::RecordTables tables;
    util::NullProgress progress;
    scanRawNtfs(disk, 0, image.sectors(), tables, progress, {});
    writeNtfsScanTables(tables);
    std::vector<std::string> out;
    for (const records::RecordTable* t : {&tables.BootSectorTable, &tables.MftRecordTable, &tables.IndexRecordTable})
        for (int row = 0; row < t->rowCount(); ++row) {
            std::string line;
            for (int c = 0; c < t->columnCount(); ++c) line += std::string(t->cell(row, c)) + "|";
            out.push_back(line);
        }
    for (std::uint64_t lba : tables.ntfsScan.indxSectors) out.push_back("INDX " + std::to_string(lba));
    for (const records::IndexFolderEntry& e : tables.ntfsScan.entries)
        out.push_back("entry " + std::to_string(e.record) + " " + std::to_string(e.parent) + " " +
                      std::to_string(e.date) + " " + std::string(tables.ntfsScan.name(e.name)));
    return out;
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

TEST(NtfsRawScan, RecordsOfNoSizeFrom1024To4096OrEndingLikeABootSectorAreNotTaken) {
    Image image(64);
    std::uint32_t lba = 4;
    for (std::uint16_t size : {8192, 512, 1536, 3072, 0}) {
        std::vector<std::uint8_t> odd = test::fileRecord(40, "odd", 5, 5);
        put16(odd, 0x1C, size);
        image.place(lba, odd);
        lba += 4;
    }
    std::vector<std::uint8_t> signed55 = test::fileRecord(41, "boot end", 5, 5);
    signed55[510] = 0x55;
    signed55[511] = 0xAA;
    image.place(40, signed55);
    const Scanned s = scan(image, 0, 64);
    EXPECT_EQ(s.tables.MftRecordTable.rowCount(), 0);
    EXPECT_EQ(s.tables.BootSectorTable.rowCount(), 0);
}

TEST(NtfsRawScan, RecordSizeComesFromTheHeaderWithinBounds) {
    std::vector<std::uint8_t> header(64, 0);
    for (const auto& [field, bytes] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {1024, 1024}, {2048, 2048}, {4096, 4096}, {0x10400, 1024}, {8192, 0}, {512, 0}, {3072, 0}, {0, 0}}) {
        put32(header, 0x1C, field);
        EXPECT_EQ(mftRecordBytesOf(header), bytes) << field;
    }
    EXPECT_EQ(mftRecordBytesOf(util::Bytes(header.data(), 0x1D)), 0u);  // too short to hold the field
}

TEST(NtfsRawScan, FourKibibyteRecordsAreReadWholeAcrossAChunkBoundary) {
    Image image(2048);
    // Sectors 1020 to 1027: the attributes, in the record's last kibibyte,
    // lie in the next chunk.
    image.place(1020, test::widenRecord(test::fileRecord(40, "wide", 5, 400), 4096));
    image.place(1100, test::widenRecord(test::fileRecord(41, "two", 5, 20), 2048));
    image.place(1200, test::fileRecord(42, "narrow", 5, 7));
    const Scanned s = scan(image, 0, image.sectors());
    const records::RecordTable& mft = s.tables.MftRecordTable;
    ASSERT_EQ(mft.rowCount(), 3);
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kName), "wide");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSector), "1020");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kSize), "400");
    EXPECT_EQ(mft.cell(0, NtfsMftCol::kParentMft), "5");
    EXPECT_EQ(mft.cell(1, NtfsMftCol::kName), "two");
    EXPECT_EQ(mft.cell(1, NtfsMftCol::kSize), "20");
    EXPECT_EQ(mft.cell(2, NtfsMftCol::kName), "narrow");
}

TEST(NtfsRawScan, BootSectorOfFourKibibyteSectorsIsCountedIn512ByteSectors) {
    Image image(4096);
    image.place(800, test::buildNtfsBoot4096(255));
    const Scanned s = scan(image, 0, image.sectors());
    ASSERT_EQ(s.tables.BootSectorTable.rowCount(), 1);
    const records::RecordTable& b = s.tables.BootSectorTable;
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSector), "800");
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSpf), "8");          // one 4096-byte sector per cluster
    EXPECT_EQ(b.cell(0, NtfsBootCol::kSpc), "8");          // index records of one cluster
    EXPECT_EQ(b.cell(0, NtfsBootCol::kRootSectors), "8");  // MFT records of one cluster
    EXPECT_EQ(b.cell(0, NtfsBootCol::kRootStart), "2040");
}

TEST(NtfsRawScan, BootSectorMftRecordSizeIsBounded) {
    std::vector<std::uint8_t> boot = test::buildNtfsBoot(100, 2);
    const auto withField = [&](std::uint8_t field) {
        boot[0x40] = field;
        return bootMftRecordSectors(boot);
    };
    EXPECT_EQ(withField(0xF6), 2u);
    EXPECT_EQ(withField(0xF5), 4u);
    EXPECT_EQ(withField(0xF4), 8u);
    EXPECT_EQ(withField(0xF3), 0u);  // 8192 bytes
    EXPECT_EQ(withField(1), 2u);     // one cluster of two sectors
    EXPECT_EQ(withField(4), 8u);
    EXPECT_EQ(withField(8), 0u);
    EXPECT_EQ(withField(0), 0u);
    EXPECT_EQ(withField(0x80), 0u);
    std::vector<std::uint8_t> big = test::buildNtfsBoot4096(100);
    EXPECT_EQ(bootMftRecordSectors(big), 8u);
    big[0x40] = 2;  // two 4096-byte clusters
    EXPECT_EQ(bootMftRecordSectors(big), 0u);
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

/// Every window of the scans made meanwhile is mapped where it can be,
/// rather than loaded the faster way once both were timed.
struct AlwaysMapped {
    AlwaysMapped() { ScanWindow::setLoading(ScanWindow::Loading::Mapped); }
    ~AlwaysMapped() { ScanWindow::setLoading(ScanWindow::Loading::Timed); }
    AlwaysMapped(const AlwaysMapped&) = delete;
    AlwaysMapped& operator=(const AlwaysMapped&) = delete;
};

TEST(NtfsRawScan, MappedWindowsFindWhatReadWindowsFind) {
    // An image file is scanned through a mapping that copies only the
    // sectors picked and what they span; anything else is read whole. Both
    // must find the same, for records across chunks and windows, records at
    // offsets where the window before left other bytes, and a window whose
    // mapping is refused for an unreadable sector.
    const AlwaysMapped mappedOnly;
    const std::uint64_t window = std::uint64_t{kScanChunkSectors} * kScanChunksPerRead;
    Image image(3 * window + 700);
    SampleVolume{}.write(image);
    image.place(window - 1, test::fileRecord(40, "window end", 5, 77));
    image.place(window + kScanChunkSectors - 2, test::fileRecord(41, "chunk end", 5, 78));
    // Names long enough to put the records' later attributes and entries in
    // their later sectors.
    const std::string longName(230, 'n');
    std::vector<IndexEntry> entries;
    for (std::uint32_t k = 0; k < 8; ++k)
        entries.push_back({200 + k, 99, k, longName.substr(0, 150) + std::to_string(k), k % 2 == 0});
    image.place(2 * window - 3, buildIndx(7, entries));
    image.place(window + 900, buildIndx(8, entries));
    image.place(window + 20, test::fileRecord(46, longName, 5, 81));
    image.place(window + kScanChunkSectors - 1, test::fileRecord(47, longName, 5, 82));
    std::vector<std::uint8_t> big = test::fileRecord(44, "four kib", 5, 79);
    big.resize(4096);
    put16(big, 0x1C, 4096);
    image.place(window + 300, big);
    image.place(window + 2, test::fileRecord(45, "reused", 5, 80));
    std::vector<std::uint8_t> boot = buildNtfsBoot(1000000);
    image.place(2 * window + 5, boot);
    image.place(image.sectors() - 1, boot);
    // Records of the first window recur one sector apart in the third, so
    // its unpicked sectors would show the earlier window's bytes.
    for (std::uint64_t k = 0; k < 40; ++k)
        image.place(2 * window + 64 + 3 * k, test::fileRecord(static_cast<std::uint32_t>(100 + k), longName, 5, k));

    const std::vector<std::string> read = everythingFound(image, false);
    EXPECT_GT(read.size(), 50u);
    EXPECT_EQ(everythingFound(image, true), read);
    // An unreadable sector in the second window: it is read there, zero in
    // the bad sector, in both ways alike.
    EXPECT_EQ(everythingFound(image, true, {window + 1000}), everythingFound(image, false, {window + 1000}));

    std::mt19937 random(4321);
    for (int round = 0; round < 8; ++round) {
        std::vector<std::uint8_t>& bytes = image.bytes();
        for (int k = 0; k < 3000; ++k) {
            const std::size_t sector = random() % image.sectors();
            const std::size_t offset = random() % 512;
            switch (random() % 4) {
                case 0: std::memcpy(&bytes[sector * 512], "FILE", 4); break;
                case 1: std::memcpy(&bytes[sector * 512], "INDX", 4); break;
                case 2: bytes[sector * 512 + 510] = 0x55; bytes[sector * 512 + 511] = 0xAA; break;
                default: bytes[sector * 512 + offset] = static_cast<std::uint8_t>(random()); break;
            }
        }
        EXPECT_EQ(everythingFound(image, true), everythingFound(image, false)) << "round " << round;
    }
}

TEST(NtfsRawScan, WindowsLoadedBothWaysInTurnThenTheFasterWayFindTheSame) {
    // By default the first full windows are mapped and read in turn, timed,
    // and the rest loaded the faster way: whatever the timing, what is found
    // is what reading every window finds.
    const std::uint64_t window = std::uint64_t{kScanChunkSectors} * kScanChunksPerRead;
    Image image(11 * window + 5);
    SampleVolume{}.write(image);
    const std::string longName(230, 'n');
    for (std::uint32_t w = 1; w <= 11; ++w) {
        image.place(w * window - 1, test::fileRecord(100 + w, longName, 5, w));
        image.place(w * window - 3, buildIndx(w, {{300 + w, 99, 0, longName.substr(0, 150), false}}));
    }
    std::mt19937 random(99);
    std::vector<std::uint8_t>& bytes = image.bytes();
    for (int k = 0; k < 20000; ++k) {
        const std::size_t sector = random() % image.sectors();
        switch (random() % 3) {
            case 0: std::memcpy(&bytes[sector * 512], "FILE", 4); break;
            case 1: std::memcpy(&bytes[sector * 512], "INDX", 4); break;
            default: bytes[sector * 512 + 510] = 0x55; bytes[sector * 512 + 511] = 0xAA; break;
        }
    }
    const std::vector<std::string> read = everythingFound(image, false);
    EXPECT_GT(read.size(), 40u);
    EXPECT_EQ(everythingFound(image, true), read);
    EXPECT_EQ(everythingFound(image, true, {5 * window + 7}), everythingFound(image, false, {5 * window + 7}));
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

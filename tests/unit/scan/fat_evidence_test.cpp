#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "scan/fat_evidence.h"
#include "scan/scan_window.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::scan {
namespace {

using fat::test::put16;
using fat::test::put32;
using fat::test::TestDisk;

// A FAT32 boot sector at lba of disk d.
void writeFat32Boot(std::uint8_t* b, std::uint8_t spc, std::uint16_t reserved, std::uint32_t spf,
                    std::uint32_t total, std::uint32_t rootCluster) {
    b[13] = spc;
    put16(b + 14, reserved);
    put32(b + 32, total);
    put32(b + 36, spf);
    put32(b + 44, rootCluster);
    std::memcpy(b + 82, "FAT32   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
}

void writeFat16Boot(std::uint8_t* b, std::uint8_t spc, std::uint16_t reserved, std::uint16_t rootEntries,
                    std::uint16_t spf, std::uint32_t total) {
    b[13] = spc;
    put16(b + 14, reserved);
    put16(b + 17, rootEntries);
    put16(b + 22, spf);
    put32(b + 32, total);
    std::memcpy(b + 54, "FAT16   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
}

void writeDotEntries(std::uint8_t* s, std::uint32_t self, std::uint32_t parent, std::uint16_t date = 0,
                     std::uint16_t time = 0) {
    fat::test::putEntry(s, ".          ", 0x10, self, 0, date, time);
    fat::test::putEntry(s + 32, "..         ", 0x10, parent);
}

std::vector<std::string> rowOf(const records::RecordTable& t, int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < t.columnCount(); ++c) cells.emplace_back(t.cell(row, c));
    return cells;
}

void addDirectory(records::RecordTable& t, std::uint64_t sector, std::uint32_t self, std::uint32_t parent = 0) {
    const int r = t.appendRow(std::to_string(sector));
    t.setU32(r, kDsSelfCluster, self);
    t.setU32(r, kDsParentCluster, parent);
    t.setCell(r, kDsFileSystem, "0");
}

std::vector<std::string> fileSystemColumn(const records::RecordTable& t) {
    std::vector<std::string> out;
    for (int r = 0; r < t.rowCount(); ++r) out.emplace_back(t.cell(r, kDsFileSystem));
    return out;
}

// ---------------------------------------------------------------------------
// Rows of the raw scan.

TEST(FatEvidenceRows, BootSectorRowsCarryEveryColumn) {
    records::RecordTable boots = records::makeBootSectorTable();
    std::vector<std::uint8_t> s(512, 0);
    writeFat32Boot(s.data(), 8, 32, 1000, 500000, 2);
    ASSERT_TRUE(appendFatBootSectorRow(s, 2048, boots));
    // B 2048, R 32, F 1000, K 8, T 500000.
    EXPECT_EQ(rowOf(boots, 0), (std::vector<std::string>{"2048", "1000", "8", "0", "2", "32", "4064", "2080",
                                                          "3080", "502048", "FAT32"}));

    std::fill(s.begin(), s.end(), 0);
    writeFat16Boot(s.data(), 4, 1, 512, 200, 0);
    ASSERT_TRUE(appendFatBootSectorRow(s, 63, boots));
    // B 63, R 1, E 32, F 200: root at 464, cluster 0 at 63 + 1 + 32 + 400 - 8.
    EXPECT_EQ(rowOf(boots, 1), (std::vector<std::string>{"63", "200", "4", "32", "464", "1", "488", "64", "264",
                                                          "63", "FAT16"}));
}

TEST(FatEvidenceRows, OnlyFat16AndFat32BootSectorsWithSaneGeometryGiveRows) {
    records::RecordTable boots = records::makeBootSectorTable();
    std::vector<std::uint8_t> s(512, 0);
    writeFat16Boot(s.data(), 4, 1, 512, 200, 0);
    std::memcpy(s.data() + 54, "FAT12   ", 8);
    EXPECT_FALSE(appendFatBootSectorRow(s, 0, boots));
    std::fill(s.begin(), s.end(), 0);
    writeFat32Boot(s.data(), 8, 32, 1000, 500000, 2);
    s[511] = 0;
    EXPECT_FALSE(appendFatBootSectorRow(s, 0, boots));
    for (std::uint8_t spc : {0, 3, 255}) {
        std::fill(s.begin(), s.end(), 0);
        writeFat32Boot(s.data(), spc, 32, 1000, 500000, 2);
        EXPECT_FALSE(appendFatBootSectorRow(s, 0, boots)) << int(spc);
    }
    // Cluster 0 would lie before the start of the disk.
    std::fill(s.begin(), s.end(), 0);
    writeFat32Boot(s.data(), 128, 0, 0, 500000, 2);
    EXPECT_FALSE(appendFatBootSectorRow(s, 0, boots));
    // Sector numbers beyond 32 bits.
    std::fill(s.begin(), s.end(), 0);
    writeFat32Boot(s.data(), 8, 32, 0xFFFFFF00u, 0xFFFFFFFFu, 2);
    EXPECT_FALSE(appendFatBootSectorRow(s, 100, boots));
    EXPECT_EQ(boots.rowCount(), 0);
}

TEST(FatEvidenceRows, DirectoryRowTakesBothClusterWordsOfTheDotEntries) {
    records::RecordTable dirs = records::makeDirectoryScanTable();
    std::vector<std::uint8_t> s(512, 0);
    writeDotEntries(s.data(), 0x00030005, 0x00010002, 0x3A67, 0x7123);
    ASSERT_TRUE(appendFatDirectoryRow(s, 777, dirs));
    EXPECT_EQ(rowOf(dirs, 0), (std::vector<std::string>{"777", "196613", "65538", "0", "14951", "28963", ""}));
    s[34] = 'X';  // ".." must be followed by a blank
    EXPECT_FALSE(appendFatDirectoryRow(s, 778, dirs));
    EXPECT_EQ(dirs.rowCount(), 1);
}

TEST(FatEvidenceScan, EverySectorOfTheRangeIsExaminedAcrossChunks) {
    TestDisk d(3000);
    // A boot sector that also starts with dot entries: the fields overlay
    // the "." entry, the total sector count the ".." entry.
    writeFat16Boot(d.sector(100), 4, 1, 512, 200, 0);
    writeDotEntries(d.sector(100), 9, 0);
    d.sector(100)[13] = 4;
    put16(d.sector(100) + 14, 1);
    put16(d.sector(100) + 17, 512);
    put16(d.sector(100) + 22, 200);
    std::memcpy(d.sector(100) + 54, "FAT16   ", 8);
    writeDotEntries(d.sector(1023), 10, 0);
    writeDotEntries(d.sector(1024), 11, 10);
    writeDotEntries(d.sector(2999), 12, 0);
    writeDotEntries(d.sector(50), 13, 0);  // before the range
    records::RecordTables tables;
    util::NullProgress progress;
    ASSERT_TRUE(ScanFatEvidence(d.range(0, 2999), 60, 3000, tables, progress, {}));
    EXPECT_EQ(tables.BootSectorTable.rowCount(), 1);
    std::vector<std::string> sectors;
    for (int r = 0; r < tables.DirectoryScanTable.rowCount(); ++r)
        sectors.emplace_back(tables.DirectoryScanTable.cell(r, kDsSector));
    EXPECT_EQ(sectors, (std::vector<std::string>{"100", "1023", "1024", "2999"}));

    // The end is exclusive.
    ASSERT_TRUE(ScanFatEvidence(d.range(0, 2999), 60, 2999, tables, progress, {}));
    EXPECT_EQ(tables.DirectoryScanTable.rowCount(), 3);
}

TEST(FatEvidenceScan, StopKeepsWhatWasFound) {
    TestDisk d(4096);
    writeDotEntries(d.sector(5), 10, 0);
    writeDotEntries(d.sector(3000), 11, 0);
    records::RecordTables tables;
    std::stop_source source;
    struct StopAfterFirstChunk : util::ProgressSink {
        std::stop_source* source;
        void setStatusText(const std::string& text) override {
            if (text.rfind("Sectors  0 of", 0) != 0) source->request_stop();
        }
    } progress;
    progress.source = &source;
    EXPECT_FALSE(ScanFatEvidence(d.range(0, 4095), 0, 4096, tables, progress, source.get_token()));
    EXPECT_EQ(tables.DirectoryScanTable.rowCount(), 1);
}

TEST(FatEvidenceScan, GarbageSectorsNeverCrash) {
    TestDisk d(2048);
    std::mt19937 rng(7);
    for (std::uint64_t s = 0; s < 2048; ++s) {
        std::uint8_t* p = d.sector(s);
        for (int i = 0; i < 512; ++i) p[i] = static_cast<std::uint8_t>(rng());
        if (s % 3 == 0) {  // looks like both kinds of evidence, fields random
            p[0] = '.';
            p[1] = ' ';
            p[32] = '.';
            p[33] = '.';
            p[34] = ' ';
            p[510] = 0x55;
            p[511] = 0xAA;
            std::memcpy(p + (s % 2 ? 85 : 57), s % 2 ? "32" : "16", 2);
        }
    }
    records::RecordTables tables;
    util::NullProgress progress;
    ASSERT_TRUE(ScanFatEvidence(d.range(0, 2047), 0, 2048, tables, progress, {}));
    EXPECT_EQ(tables.DirectoryScanTable.rowCount(), 683);
    const FatIdentification found = IdentifyFatFileSystems(tables, "FAT16", progress);
    EXPECT_EQ(found.phase, 2);
    EXPECT_EQ(found.fileSystemCount, tables.FileSystemTable.rowCount());
}

TEST(FatEvidenceScan, MappedWindowsFindWhatReadWindowsFind) {
    // An image file is looked at through a mapping, anything else is read:
    // the rows are the same, also for a window whose mapping is refused.
    TestDisk d(3 * 8192 + 100);
    std::mt19937 rng(11);
    for (std::uint64_t s = 0; s < d.device().sizeBytes() / 512; ++s) {
        std::uint8_t* p = d.sector(s);
        if (rng() % 5 != 0) continue;
        for (int i = 0; i < 512; ++i) p[i] = static_cast<std::uint8_t>(rng());
        if (rng() % 2) writeDotEntries(p, static_cast<std::uint32_t>(rng() % 5000), static_cast<std::uint32_t>(rng() % 5000));
        if (rng() % 3 == 0) {
            writeFat32Boot(p, 8, 32, 1000, 50000, 2);
        }
    }
    // Mapped wherever it can be, not the faster way once both were timed.
    ScanWindow::setLoading(ScanWindow::Loading::Mapped);
    auto found = [&](bool mappable) {
        d.device().mappable = mappable;
        records::RecordTables tables;
        util::NullProgress progress;
        EXPECT_TRUE(ScanFatEvidence(d.range(0, 3 * 8192 + 99), 0, 3 * 8192 + 100, tables, progress, {}));
        std::vector<std::vector<std::string>> rows;
        for (const records::RecordTable* t : {&tables.BootSectorTable, &tables.DirectoryScanTable})
            for (int r = 0; r < t->rowCount(); ++r) rows.push_back(rowOf(*t, r));
        return rows;
    };
    const auto read = found(false);
    EXPECT_GT(read.size(), 1000u);
    EXPECT_EQ(found(true), read);
    d.device().badSectors = {8192 + 17};
    EXPECT_EQ(found(true), found(false));
    // The default: mapped and read in turn while both are timed.
    ScanWindow::setLoading(ScanWindow::Loading::Timed);
    d.device().badSectors.clear();
    EXPECT_EQ(found(true), read);
}

// ---------------------------------------------------------------------------
// Identification.

TEST(IdentifyFatFileSystems, Phase1AssignsDirectoriesThatFitABootSector) {
    records::RecordTables t;
    std::vector<std::uint8_t> s(512, 0);
    writeFat32Boot(s.data(), 8, 32, 1000, 500000, 2);
    ASSERT_TRUE(appendFatBootSectorRow(s, 2048, t.BootSectorTable));  // cluster 0 at 4064
    addDirectory(t.DirectoryScanTable, 4064 + 8 * 5, 5);
    addDirectory(t.DirectoryScanTable, 4064 + 8 * 5 + 1, 5);  // not on a cluster boundary
    addDirectory(t.DirectoryScanTable, 4064 + 8 * 700, 700);
    addDirectory(t.DirectoryScanTable, 502048 + 8, 62249);  // past the volume's end
    util::NullProgress progress;
    const FatIdentification found = IdentifyFatFileSystems(t, "FAT32", progress);
    EXPECT_EQ(found.fileSystemCount, 1);
    EXPECT_EQ(rowOf(t.FileSystemTable, 0), rowOf(t.BootSectorTable, 0));
    EXPECT_EQ(fileSystemColumn(t.DirectoryScanTable), (std::vector<std::string>{"1", "-1", "1", "-1"}));
}

TEST(IdentifyFatFileSystems, Phase2DerivesTheGeometryFromPairs) {
    records::RecordTables t;
    addDirectory(t.DirectoryScanTable, 1000, 10);
    addDirectory(t.DirectoryScanTable, 1030, 20);  // 3 sectors per cluster: no pair with the first
    addDirectory(t.DirectoryScanTable, 1080, 20);
    addDirectory(t.DirectoryScanTable, 1160, 30);  // on the line found by the first pair
    util::NullProgress progress;
    const FatIdentification found = IdentifyFatFileSystems(t, "FAT16", progress);
    EXPECT_EQ(found.fileSystemCount, 1);
    EXPECT_EQ(found.phase, 2);
    EXPECT_EQ(rowOf(t.FileSystemTable, 0),
              (std::vector<std::string>{"0", "", "8", "", "", "", "920", "", "", "", "FAT16"}));
    EXPECT_EQ(fileSystemColumn(t.DirectoryScanTable), (std::vector<std::string>{"1", "-1", "1", "1"}));
}

TEST(IdentifyFatFileSystems, Fat16BootSectorWithoutTotalIsLeftToPhase2) {
    records::RecordTables t;
    std::vector<std::uint8_t> s(512, 0);
    writeFat16Boot(s.data(), 4, 1, 512, 200, 0);  // small volume: total in the 16-bit field only
    ASSERT_TRUE(appendFatBootSectorRow(s, 63, t.BootSectorTable));  // cluster 0 at 488
    addDirectory(t.DirectoryScanTable, 488 + 4 * 3, 3);
    addDirectory(t.DirectoryScanTable, 488 + 4 * 9, 9);
    util::NullProgress progress;
    IdentifyFatFileSystems(t, "FAT16", progress);
    ASSERT_EQ(t.FileSystemTable.rowCount(), 1);
    EXPECT_EQ(t.FileSystemTable.cell(0, kBsSector), "0");
    EXPECT_EQ(t.FileSystemTable.cell(0, kBsCluster0Start), "488");
    EXPECT_EQ(t.FileSystemTable.cell(0, kBsSpc), "4");
}

TEST(IdentifyFatFileSystems, DerivedFat16WithAClusterAbove65536IsFat32) {
    records::RecordTables t;
    addDirectory(t.DirectoryScanTable, 5000, 100);
    addDirectory(t.DirectoryScanTable, 5100, 200);
    addDirectory(t.DirectoryScanTable, 4900 + 0x10001, 0x10001);
    addDirectory(t.DirectoryScanTable, 900000, 1000);  // another line
    addDirectory(t.DirectoryScanTable, 900016, 1002);
    util::NullProgress progress;
    IdentifyFatFileSystems(t, "FAT16", progress);
    ASSERT_EQ(t.FileSystemTable.rowCount(), 2);
    EXPECT_EQ(t.FileSystemTable.cell(0, kBsPartType), "FAT32");
    EXPECT_EQ(t.FileSystemTable.cell(1, kBsPartType), "FAT16");
    EXPECT_EQ(t.FileSystemTable.cell(1, kBsSpc), "8");
}

// The identification as a plain pair of loops over the rows, to check the
// indexed one against.
void identifyByLoops(records::RecordTables& t, const std::string& kind) {
    records::RecordTable& boots = t.BootSectorTable;
    records::RecordTable& dirs = t.DirectoryScanTable;
    records::RecordTable& systems = t.FileSystemTable;
    systems.clear();
    int count = 0;
    for (int b = 0; b < boots.rowCount(); ++b) {
        const std::int64_t spc = boots.getI32(b, kBsSpc), c0 = boots.getI32(b, kBsCluster0Start),
                           total = boots.getI32(b, kBsTotalSectors);
        int number = 0;
        for (int d = 0; d < dirs.rowCount(); ++d) {
            if (dirs.getI64(d, kDsFileSystem) != 0) continue;
            const std::int64_t sector = dirs.getI64(d, kDsSector), self = dirs.getI64(d, kDsSelfCluster);
            if (c0 <= sector && sector <= total && sector == self * spc + c0) {
                if (number == 0) {
                    number = ++count;
                    const int r = systems.appendRow(boots.cell(b, 0));
                    for (int c = 1; c < 11; ++c) systems.setCell(r, c, boots.cell(b, c));
                }
                dirs.setI64(d, kDsFileSystem, number);
            }
        }
    }
    for (int a = 0; a < dirs.rowCount(); ++a) {
        if (dirs.getI64(a, kDsFileSystem) != 0) continue;
        const std::int64_t ca = dirs.getI64(a, kDsSelfCluster), sa = dirs.getI64(a, kDsSector);
        bool fitted = false;
        for (int b = a + 1; b < dirs.rowCount() && !fitted; ++b) {
            if (dirs.getI64(b, kDsFileSystem) != 0) continue;
            const std::int64_t cb = dirs.getI64(b, kDsSelfCluster), sb = dirs.getI64(b, kDsSector);
            if (!(ca < cb && sa < sb && cb < sb && cb < sa) || (sb - sa) % (cb - ca) != 0) continue;
            const std::int64_t o = (sb - sa) / (cb - ca);
            if (o > 128 || (o & (o - 1)) != 0 || !(ca * o < sa && cb * o < sb)) continue;
            fitted = true;
            const std::int64_t z = sa - ca * o;
            const int number = ++count;
            const int r = systems.appendRow("0");
            systems.setI64(r, kBsSpc, o);
            systems.setI64(r, kBsCluster0Start, z);
            systems.setCell(r, kBsPartType, kind);
            dirs.setI64(a, kDsFileSystem, number);
            dirs.setI64(b, kDsFileSystem, number);
            std::int64_t largest = cb;
            for (int d = 0; d < dirs.rowCount(); ++d) {
                if (dirs.getI64(d, kDsFileSystem) != 0) continue;
                if (dirs.getI64(d, kDsSector) != dirs.getI64(d, kDsSelfCluster) * o + z) continue;
                dirs.setI64(d, kDsFileSystem, number);
                largest = std::max(largest, dirs.getI64(d, kDsSelfCluster));
            }
            if (kind != "FAT32" && largest > 0x10000) systems.setCell(r, kBsPartType, "FAT32");
        }
        if (!fitted) dirs.setCell(a, kDsFileSystem, "-1");
    }
}

TEST(IdentifyFatFileSystems, IndexedMatchingGivesThePairwiseResults) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        records::RecordTables t;
        // A few volumes (some with boot sectors), their directories mixed
        // with stray ones, in sector order as a scan finds them.
        std::vector<std::pair<std::uint64_t, std::uint32_t>> found;
        const int volumes = 1 + static_cast<int>(rng() % 4);
        for (int v = 0; v < volumes; ++v) {
            const std::uint32_t spc = 1u << (rng() % 8);
            const std::uint64_t c0 = 100 + rng() % 5000 + static_cast<std::uint64_t>(v) * 200000;
            if (rng() % 2) {
                const int r = t.BootSectorTable.appendRow(std::to_string(c0 - 50));
                t.BootSectorTable.setU32(r, kBsSpc, spc);
                t.BootSectorTable.setU64(r, kBsCluster0Start, c0);
                t.BootSectorTable.setU64(r, kBsTotalSectors, c0 + (rng() % 3 ? 150000 : 0));
                t.BootSectorTable.setCell(r, kBsPartType, "FAT16");
            }
            for (int k = 0; k < 30; ++k) {
                const std::uint32_t cluster = 2 + rng() % (rng() % 4 ? 1000 : 100000);
                found.emplace_back(c0 + static_cast<std::uint64_t>(cluster) * spc, cluster);
            }
        }
        for (int k = 0; k < 20; ++k) found.emplace_back(rng() % 900000, rng() % 3000);
        std::sort(found.begin(), found.end());
        for (const auto& [sector, cluster] : found) addDirectory(t.DirectoryScanTable, sector, cluster);

        records::RecordTables expected = t;
        identifyByLoops(expected, "FAT16");
        util::NullProgress progress;
        IdentifyFatFileSystems(t, "FAT16", progress);
        ASSERT_EQ(fileSystemColumn(t.DirectoryScanTable), fileSystemColumn(expected.DirectoryScanTable)) << round;
        ASSERT_EQ(t.FileSystemTable.rowCount(), expected.FileSystemTable.rowCount()) << round;
        for (int r = 0; r < t.FileSystemTable.rowCount(); ++r)
            EXPECT_EQ(rowOf(t.FileSystemTable, r), rowOf(expected.FileSystemTable, r)) << round;
    }
}

}  // namespace
}  // namespace qvx::scan

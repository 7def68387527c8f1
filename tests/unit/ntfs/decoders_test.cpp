// The one decoder of each NTFS structure: the fixup's check values, run
// lists bounded by the volume, the attribute walker and attribute lists,
// files put together from extension records, and the MFT located by byte
// offset through runs that records straddle.

#include <gtest/gtest.h>

#include <cstring>

#include <map>
#include <memory>

#include "disk/sector_reader.h"
#include "ntfs/attribute.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_file.h"
#include "ntfs/mft_run_table.h"
#include "ntfs/run_list.h"
#include "record_builder.h"

namespace qvx::ntfs {
namespace {

using test::RecordBuilder;

TEST(Fixup, EveryStrideIsCheckedAndTornOnesStillRestored) {
    std::vector<std::uint8_t> r = RecordBuilder(1, 7).fileName("a", 1, 5).build(0x1234);
    const std::uint8_t saved510 = r[0x32];
    FixupResult fix = applyFixup(r, r.size());
    EXPECT_TRUE(fix.applied);
    EXPECT_EQ(fix.strides, 2u);
    EXPECT_FALSE(fix.torn());
    EXPECT_EQ(r[510], saved510);

    r = RecordBuilder(1, 7).fileName("a", 1, 5).build(0x1234);
    r[1022] = 0x99;  // the second stride was not written with the first
    fix = applyFixup(r, r.size());
    EXPECT_TRUE(fix.torn());
    EXPECT_EQ(fix.tornStrides, 1u);
    EXPECT_EQ(fix.firstTorn, 1u);
    EXPECT_EQ(r[510], saved510);  // the good stride is restored all the same

    // An array that does not fit changes nothing.
    r = RecordBuilder(1, 7).build();
    r[0x06] = 0xFF;
    const std::vector<std::uint8_t> before = r;
    EXPECT_FALSE(applyFixup(r, r.size()).applied);
    EXPECT_EQ(r, before);
}

TEST(RunList, RelativeNegativeSparseAndBoundedByTheVolume) {
    // 4 clusters at 0x100; 2 sparse; 3 at 0x100 - 0x20; 1 at +0x1000.
    const std::vector<std::uint8_t> list{0x21, 0x04, 0x00, 0x01, 0x01, 0x02, 0x11, 0x03, 0xE0, 0x21, 0x01, 0x00, 0x10, 0x00};
    std::vector<qvx::ntfs::Run> runs;
    std::uint64_t vcns = 0;
    ASSERT_TRUE(decodeRunList(list, 10, 0, runs, vcns).ok());
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].vcn, 10u);
    EXPECT_EQ(runs[0].lcn, 0x100u);
    EXPECT_TRUE(runs[1].sparse);
    EXPECT_EQ(runs[2].lcn, 0xE0u);  // relative to the last real run
    EXPECT_EQ(runs[3].lcn, 0x10E0u);
    EXPECT_EQ(runs[3].vcn, 10u + 9);
    EXPECT_EQ(vcns, 10u);

    // The same list on a volume of 0x1000 clusters: the last run lies outside.
    runs.clear();
    const util::DecodeResult r = decodeRunList(list, 0, 0x1000, runs, vcns);
    EXPECT_TRUE(r.corrupt());
    EXPECT_EQ(runs.size(), 3u);  // the runs before the fault are kept

    for (const std::vector<std::uint8_t>& bad : std::vector<std::vector<std::uint8_t>>{
             {0x11, 0x04, 0x10},        // no end marker
             {0x44, 0x01, 0x00},        // fields past the list
             {0x10, 0x05, 0x00},        // no length
             {0x11, 0x01, 0x80, 0x00},  // below cluster 0
             {0x11, 0x00, 0x10, 0x00},  // zero length
             {0x91, 0x01, 0x00}}) {     // a 9-byte offset
        runs.clear();
        EXPECT_TRUE(decodeRunList(bad, 0, 0, runs, vcns).corrupt());
    }
}

TEST(Attributes, TheWalkStopsAtAnAttributeThatDoesNotFit) {
    std::vector<std::uint8_t> r = RecordBuilder(1, 9).fileName("x.txt", 1, 5).residentData(4).build();
    applyFixup(r, r.size());
    MftHeader h;
    ASSERT_TRUE(parseMftHeader(r, h).ok());
    std::vector<std::uint32_t> types;
    EXPECT_TRUE(forEachAttribute(r, h, [&](const Attribute& a) {
                    types.push_back(a.type);
                    return true;
                }).ok());
    EXPECT_EQ(types, (std::vector<std::uint32_t>{kAttrFileName, kAttrData}));
    // The second attribute claims to run past the record.
    const std::size_t second = 0x38 + util::le32(r, 0x38 + 4);
    r[second + 4] = 0xF0;
    r[second + 5] = 0x0F;
    types.clear();
    EXPECT_TRUE(forEachAttribute(r, h, [&](const Attribute& a) {
                    types.push_back(a.type);
                    return true;
                }).corrupt());
    EXPECT_EQ(types.size(), 1u);
    // Not a FILE record at all.
    std::vector<std::uint8_t> zeros(1024, 0);
    EXPECT_TRUE(parseMftHeader(zeros, h).notThis());
}

TEST(Attributes, ListEntriesCarryTypeVcnAndHolder) {
    std::vector<std::uint8_t> r = RecordBuilder(1, 40).attributeList({{0x30, 41}, {0x80, 42}}).build();
    applyFixup(r, r.size());
    MftHeader h;
    ASSERT_TRUE(parseMftHeader(r, h).ok());
    std::vector<AttributeListEntry> entries;
    forEachAttribute(r, h, [&](const Attribute& a) {
        if (a.type == kAttrList) {
            EXPECT_TRUE(decodeAttributeList(a.value, entries).ok());
        }
        return true;
    });
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].type, kAttrFileName);
    EXPECT_EQ(entries[1].holder.record, 42u);
    // An entry whose length runs past the list is refused, keeping those before.
    std::vector<std::uint8_t> list(0x40, 0);
    list[0] = 0x30;
    list[4] = 0x20;
    list[0x20] = 0x80;
    list[0x24] = 0xFF;
    entries.clear();
    EXPECT_TRUE(decodeAttributeList(list, entries).corrupt());
    EXPECT_EQ(entries.size(), 1u);
}

/// Extension records for decodeMftFile, from a map.
class MapSource : public MftFileSource {
public:
    std::map<std::uint64_t, std::vector<std::uint8_t>> records;
    bool readExtension(std::uint64_t n, std::vector<std::uint8_t>& out) override {
        auto it = records.find(n);
        if (it == records.end()) return false;
        out = it->second;
        applyFixup(out, out.size());
        return true;
    }
    bool readRuns(const std::vector<Run>&, std::uint64_t, std::vector<std::uint8_t>&) override { return false; }
};

TEST(MftFile, NamesAndStreamsFromExtensionRecordsAndReusedOnesRefused) {
    std::vector<std::uint8_t> base = RecordBuilder(1, 10)
                                         .fileName("SETUPL~1", 2, 5)
                                         .attributeList({{0x30, 10}, {0x30, 11}, {0x80, 11}, {0x80, 12}})
                                         .build();
    applyFixup(base, base.size());
    MapSource source;
    source.records[11] = RecordBuilder(1, 11).base(10).fileName("SetupLoan", 1, 5).residentData(580).build();
    source.records[12] = RecordBuilder(1, 12).base(10).residentData(7, "Zone.Identifier").build();
    MftFile file;
    util::Diagnostics diagnostics;
    ASSERT_TRUE(decodeMftFile(base, 10, 100, &source, 0, file, &diagnostics).ok());
    ASSERT_NE(file.bestName(), nullptr);
    EXPECT_EQ(file.bestName()->name, "SetupLoan");  // Win32 beats the DOS name in the base
    ASSERT_NE(file.unnamedData(), nullptr);
    EXPECT_EQ(file.unnamedData()->dataSize, 580u);
    ASSERT_NE(file.stream("Zone.Identifier"), nullptr);
    EXPECT_EQ(file.stream("Zone.Identifier")->dataSize, 7u);
    EXPECT_TRUE(file.extensionsComplete);

    // Record 12 now belongs to another file: its stream is not this file's.
    source.records[12] = RecordBuilder(1, 12).base(77).residentData(7, "Zone.Identifier").build();
    ASSERT_TRUE(decodeMftFile(base, 10, 100, &source, 0, file, &diagnostics).ok());
    EXPECT_EQ(file.stream("Zone.Identifier"), nullptr);
    EXPECT_FALSE(file.extensionsComplete);
    EXPECT_NE(file.problem.find("12"), std::string::npos);
}

/// A disk whose $MFT (1 KiB records, 512-byte clusters) lies in runs of 3,
/// 4 and 4 clusters out of order, so records 1 and 3 straddle two runs.
class StraddlingMft : public ::testing::Test {
protected:
    void SetUp() override {
        image.assign(256 * 512, 0);
        // Runs: VCN 0-2 at LCN 40, VCN 3-6 at LCN 100, VCN 7-10 at LCN 60.
        const std::vector<std::pair<std::uint64_t, std::uint64_t>> runs{{40, 3}, {100, 4}, {60, 4}};
        std::vector<std::uint64_t> lcnOf;
        for (const auto& [lcn, n] : runs)
            for (std::uint64_t i = 0; i < n; ++i) lcnOf.push_back(lcn + i);
        auto put = [&](std::uint64_t number, const std::vector<std::uint8_t>& rec) {
            for (std::uint64_t half = 0; half < 2; ++half) {
                const std::uint64_t lcn = lcnOf[number * 2 + half];
                std::copy(rec.begin() + static_cast<std::ptrdiff_t>(half * 512),
                          rec.begin() + static_cast<std::ptrdiff_t>(half * 512 + 512),
                          image.begin() + static_cast<std::ptrdiff_t>(lcn * 512));
            }
        };
        put(0, RecordBuilder(1, 0)
                   .fileName("$MFT", 3, 5)
                   .nonResident(0x80, 5 * 1024, {0x11, 0x03, 0x28, 0x11, 0x04, 0x3C, 0x11, 0x04, 0xD8, 0x00})
                   .build());
        put(1, RecordBuilder(1, 1).fileName("straddles runs 0 and 1", 1, 5).build());
        put(3, RecordBuilder(1, 3).fileName("straddles runs 1 and 2", 1, 5).build());
        put(4, RecordBuilder(1, 4).fileName("last", 1, 5).build());
        reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(image));
        range.reader = &reader;
        range.SectorRangeEnd = 255;
        ASSERT_TRUE(runs_.buildMftRunTable(range, 0, 40, 1).ok());
    }
    std::vector<std::uint8_t> image;
    disk::SectorReader reader;
    partition::VolumeRange range;
    MftRunTable runs_;
};

TEST_F(StraddlingMft, RecordsAreFoundByByteOffsetAcrossRuns) {
    EXPECT_EQ(runs_.recordCount(), 5u);  // 11 clusters of 512 bytes hold five whole records
    EXPECT_EQ(runs_.recordSector(1), 42u);
    EXPECT_EQ(runs_.recordSector(3), 103u);
    std::vector<std::uint8_t> rec(1024);
    EXPECT_EQ(runs_.readRecord(range, 3, rec), 0u);
    EXPECT_FALSE(applyFixup(rec, rec.size()).torn());  // both halves came from their runs
    EXPECT_EQ(runs_.readRecord(range, 5, rec), 1u);     // only its first half lies in the table
    std::vector<std::string> seen;
    runs_.forEachRecord(range, {}, [&](std::uint64_t n, std::span<std::uint8_t> r, std::uint64_t lba, std::uint32_t bad) {
        EXPECT_EQ(bad, 0u);
        EXPECT_EQ(lba, runs_.recordSector(n));
        if (!isFileRecord(r)) return;
        const FixupResult fix = applyFixup(r, r.size());
        EXPECT_FALSE(fix.torn()) << "record " << n;
        MftFile file;
        ASSERT_TRUE(decodeMftFile(r, n, lba, nullptr, 0, file).ok());
        seen.push_back(file.bestName() != nullptr ? file.bestName()->name : "");
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"$MFT", "straddles runs 0 and 1", "straddles runs 1 and 2", "last"}));
}

TEST(MftRunTableBuild, OverlappingRunsAreCorruptAndReadOnce) {
    MftRunTable table;
    // The same two clusters mapped three times.
    const util::DecodeResult r =
        table.appendRunList(std::vector<std::uint8_t>{0x11, 0x02, 0x10, 0x01, 0x02, 0x11, 0x02, 0x00, 0x00}, 0, 0, 8);
    EXPECT_TRUE(r.corrupt());
    ASSERT_EQ(table.runCount(), 3u);
    EXPECT_TRUE(table.extents()[0].usable);
    EXPECT_FALSE(table.extents()[1].usable);  // sparse
    EXPECT_FALSE(table.extents()[2].usable);  // the same sectors again
    EXPECT_EQ(table.recordSector(0), 128u);
    EXPECT_EQ(table.recordSector(16), 0u);
}

TEST(MftRunTableWalk, HugeUnusableExtentsAreToldAtOnceNotVisitedSlotBySlot) {
    // A damaged run list: a gap of 2^40 sectors and a run far past the
    // volume's last sector, between two readable records.
    std::vector<std::uint8_t> image(64 * 512, 0);
    disk::SectorReader reader;
    reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(image));
    partition::VolumeRange range;
    range.reader = &reader;
    range.SectorRangeEnd = 63;
    MftRunTable table;
    table.setRecordBytes(1024);
    table.appendExtent(8, 2);
    table.appendExtent(0, std::uint64_t{1} << 40, true);
    table.appendExtent(std::uint64_t{1} << 30, 2000000);
    table.appendExtent(12, 2);
    std::vector<std::uint64_t> visited;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> told;
    const MftRunTable::SkipVisitor skipped = [&](std::uint64_t first, std::uint64_t count, std::uint64_t) {
        told.emplace_back(first, count);
    };
    ASSERT_TRUE(table.forEachRecord(
        range, {}, [&](std::uint64_t n, std::span<std::uint8_t>, std::uint64_t, std::uint32_t) { visited.push_back(n); },
        &skipped));
    const std::uint64_t gap = (std::uint64_t{1} << 40) / 2;
    EXPECT_EQ(visited, (std::vector<std::uint64_t>{0, gap + 1000001}));
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0], std::make_pair(std::uint64_t{1}, gap));
    EXPECT_EQ(told[1], std::make_pair(gap + 1, std::uint64_t{1000000}));
}

TEST(MftRunTableWalk, RecordsReadAheadArriveInOrderAndTheUnvisitedOnesFollowEachVisit) {
    // 2,600 records of 1 KiB in one run: the walk reads them in chunks of
    // 1,024, the next chunk while the current one is visited. Each record
    // carries its number; sector 3,000 (in the second chunk) cannot be read.
    constexpr std::uint64_t kRecords = 2600;
    std::vector<std::uint8_t> image((16 + kRecords * 2) * 512, 0);
    for (std::uint64_t n = 0; n < kRecords; ++n) {
        std::uint8_t* r = image.data() + (16 + n * 2) * 512;
        std::memcpy(r + 0x100, &n, sizeof n);
    }
    auto device = std::make_shared<disk::MemoryDevice>(image);
    device->badSectors = {16 + 3000};
    disk::SectorReader reader;
    reader.attachDevice(0, device);
    partition::VolumeRange range;
    range.reader = &reader;
    range.SectorRangeEnd = image.size() / 512 - 1;
    MftRunTable table;
    table.setRecordBytes(1024);
    table.appendExtent(16, kRecords * 2);
    std::span<const std::uint8_t> following;
    std::uint64_t expected = 0;
    std::uint64_t withFollowing = 0;
    ASSERT_TRUE(table.forEachRecord(
        range, {},
        [&](std::uint64_t n, std::span<std::uint8_t> record, std::uint64_t lba, std::uint32_t bad) {
            ASSERT_EQ(n, expected++);
            EXPECT_EQ(lba, 16 + n * 2);
            const bool unreadable = n == 1500;
            EXPECT_EQ(bad, unreadable ? 1u : 0u) << "record " << n;
            std::uint64_t mark = 0;
            std::memcpy(&mark, record.data() + 0x100, sizeof mark);
            if (!unreadable) {
                EXPECT_EQ(mark, n);
            }
            // The rest of the chunk, untouched by the visits before.
            ASSERT_EQ(following.size() % 1024, 0u);
            const std::uint64_t chunkEnd = std::min<std::uint64_t>((n / 1024 + 1) * 1024, kRecords);
            const bool chunkHasBad = n / 1024 == 1;
            EXPECT_EQ(following.size() / 1024, chunkHasBad ? 0 : chunkEnd - n - 1) << "record " << n;
            for (std::uint64_t k = 0; k < following.size() / 1024; ++k) {
                std::uint64_t next = 0;
                std::memcpy(&next, following.data() + k * 1024 + 0x100, sizeof next);
                ASSERT_EQ(next, n + 1 + k);
            }
            if (!following.empty()) ++withFollowing;
            std::fill(record.begin(), record.end(), 0xFF);  // as a fixup changes the visited record
        },
        nullptr, &following));
    EXPECT_EQ(expected, kRecords);
    EXPECT_EQ(withFollowing, 1023u + (kRecords - 2048 - 1));
}

}  // namespace
}  // namespace qvx::ntfs

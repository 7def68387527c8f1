// Damaged and hostile records: every decoder stays inside its buffer and
// every walk ends. Run under the sanitizer build to catch stray reads.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "disk/sector_reader.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_run_table.h"
#include "ntfs/standard_search.h"
#include "record_builder.h"
#include "records/tables.h"

namespace qvx::ntfs {
namespace {

using test::RecordBuilder;

TEST(HostileRecords, MutatedRecordsDecodeWithoutLeavingTheBuffer) {
    const std::vector<std::uint8_t> base = RecordBuilder(1, 40)
                                               .fileName("name.txt", 1, 5)
                                               .attributeList({{0x30, 40}, {0x80, 41}})
                                               .nonResident(0x80, 1 << 20, {0x21, 0x10, 0x00, 0x01, 0x00})
                                               .nonResident(0xA0, 4096, {0x11, 0x01, 0x2A}, "$I30")
                                               .build();
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> r = base;
        for (int flips = 0; flips < 1 + round % 8; ++flips) r[next() % r.size()] = static_cast<std::uint8_t>(next());
        const std::size_t length = round % 3 == 0 ? (next() % r.size()) : r.size();
        r.resize(length);
        applyFixup(r, 4096);
        findFileNamePreferred(r);
        findDataSize(r);
        EXPECT_LE(collectListedRecords(r, 40).size(), kMaxListedRecords);
        findIndexAllocationFirstCluster(r);
        MftRunTable runs;
        runs.appendRunList(r, next() % (r.size() + 1), 0, 8);
        runs.recordSector(next());
    }
}

TEST(HostileRecords, RunsBeyondTheDiskEndTheWalkQuickly) {
    std::vector<std::uint8_t> image(1024 * 1024, 0);
    // Record 0 claims a 0xFFFFFFF-cluster run far beyond this 1 MiB disk.
    const auto mft = RecordBuilder(1, 0)
                         .fileName("$MFT", 3, 5)
                         .nonResident(0x80, 1024, {0x44, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00, 0x00, 0x10, 0x00})
                         .build();
    std::copy(mft.begin(), mft.end(), image.begin() + 32 * 512);
    const auto root = RecordBuilder(3, 5).fileName(".", 3, 5).build();
    std::copy(root.begin(), root.end(), image.begin() + 42 * 512);
    disk::SectorReader reader;
    reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(image));
    partition::VolumeRange range;
    range.reader = &reader;
    range.SectorRangeEnd = 2047;
    MftRunTable runs;
    util::Diagnostics diagnostics;
    // The run lies outside the volume: the run list is refused as corrupt.
    EXPECT_TRUE(runs.buildMftRunTable(range, 0, 32, 8, 0, &diagnostics).corrupt());
    EXPECT_EQ(runs.runCount(), 0u);
    EXPECT_EQ(diagnostics.count(util::Problem::CorruptRunList), 1u);
    // The failed build is remembered, so that callers asking for the runs
    // of every row do not read and refuse record 0 each time; a clear
    // forgets it.
    EXPECT_TRUE(runs.buildTried());
    MftRunTable fresh = runs;
    fresh.clear();
    EXPECT_FALSE(fresh.buildTried());
    records::RecordTables tables;
    records::ItemStore items;
    util::NullProgress progress;
    const auto started = std::chrono::steady_clock::now();
    walkMft(range, runs, 8, tables, items, progress, {});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(tables.FolderTable.rowCount(), 1);
}

TEST(HostileRecords, SelfReferencingAttributeListsAreBounded) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries(29, {0x30, 0xFFFFFFF0u});
    std::vector<std::uint8_t> r = RecordBuilder(1, 7).attributeList(entries).build();
    applyFixup(r, r.size());
    const auto list = collectListedRecords(r, 7);
    EXPECT_EQ(list.front(), 7u);
    EXPECT_EQ(list.size(), 30u);
}

}  // namespace
}  // namespace qvx::ntfs

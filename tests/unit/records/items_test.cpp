#include "records/items.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace qvx::records {
namespace {

TEST(ItemStore, ItemsAndNamesSurviveGrowthAcrossBlocks) {
    // Enough items to fill several item blocks and names to fill several
    // name blocks: every item must keep its own fields and name.
    ItemStore store;
    constexpr std::size_t kCount = 70000;
    const std::string padding(40, 'x');
    for (std::size_t i = 0; i < kCount; ++i) {
        Item it;
        it.record = i;
        it.parent = i % 7 == 0 ? 5 : 6;
        it.size = i * 3;
        if (i == 6) it.flags |= kItemFolder;
        store.add(it, "name " + std::to_string(i) + padding);
    }
    ASSERT_EQ(store.size(), kCount);
    for (std::size_t i = 0; i < kCount; i += 997) {
        EXPECT_EQ(store[i].record, i);
        EXPECT_EQ(store[i].size, i * 3);
        EXPECT_EQ(store.name(i), "name " + std::to_string(i) + padding);
    }
    EXPECT_EQ(store.name(kCount - 1), "name " + std::to_string(kCount - 1) + padding);
    EXPECT_EQ(store.folderOf(6), 6u);
    EXPECT_EQ(store.folderOf(7), ItemStore::kNone);
    EXPECT_EQ(store.fileCount(), kCount - 1);
    // Files of the root in store order.
    const auto& root = store.filesOf(5);
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.front(), 0u);
    EXPECT_EQ(root[1], 7u);
    // Items changed in place stay where they are.
    store[3].parent = 5;
    store.invalidateIndexes();
    EXPECT_EQ(store.filesOf(5)[1], 3u);

    store.clear();
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.add(Item{}, "again"), 0u);
    EXPECT_EQ(store.name(0), "again");
}

TEST(ItemStore, StreamsCarryTheFileNameAndTheirOwn) {
    ItemStore store;
    store.add(Item{}, "report.doc");
    const std::size_t s = store.add(Item{}, "report.doc", "Zone.Identifier");
    EXPECT_TRUE(store[s].isStream());
    EXPECT_EQ(store.name(s), "report.doc:Zone.Identifier");
    EXPECT_EQ(store.baseName(s), "report.doc");
    EXPECT_EQ(store.streamName(s), "Zone.Identifier");
    EXPECT_EQ(store.streamName(0), "");
    EXPECT_EQ(store.baseName(0), "report.doc");
}

TEST(ItemStore, OverlongNamesAreNotKeptButTheItemIs) {
    // No file system field holds a name of this size; only a damaged
    // session log could, and it must not fill memory.
    ItemStore store;
    const std::size_t i = store.add(Item{}, std::string(1 << 17, 'a'));
    EXPECT_EQ(store.name(i), "");
    const std::size_t j = store.add(Item{}, "short");
    EXPECT_EQ(store.name(j), "short");
}

TEST(FileTimes, ExtremeValuesOfDamagedRecordsDoNotOverflow) {
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL), 0);
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL + 15000000), 1);
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL - 1), -1);  // floors before 1970
    const std::int64_t earliest = fileTimeToUnixUtc(std::numeric_limits<std::int64_t>::min());
    EXPECT_LT(earliest, 0);
    EXPECT_GT(fileTimeToUnixUtc(std::numeric_limits<std::int64_t>::max()), 0);
}

TEST(FileTimes, FatDatesAsWallClockFileTimes) {
    // 2024-02-29 13:45:58 plus 50 hundredths.
    const std::uint16_t date = static_cast<std::uint16_t>(((2024 - 1980) << 9) | (2 << 5) | 29);
    const std::uint16_t time = static_cast<std::uint16_t>((13 << 11) | (45 << 5) | (58 / 2));
    const std::int64_t ft = fatToFileTime(date, time, 50);
    EXPECT_EQ(fileTimeToUnixUtc(ft), 1709214358);
    EXPECT_EQ((ft - 116444736000000000LL) % 10000000, 5000000);
    EXPECT_EQ(fatToFileTime(0, time), 0);
}

}  // namespace
}  // namespace qvx::records

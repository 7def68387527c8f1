#include "records/record_table.h"
#include "records/tables.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qvx::records {
namespace {

TEST(CompareCells, HexRuleComesFirst) {
    EXPECT_LT(compareCells("9", "10"), 0);
    EXPECT_LT(compareCells("99999999", "100000000"), 0);
    EXPECT_GT(compareCells("A", "9"), 0);        // 0xA
    EXPECT_LT(compareCells("ff", "100"), 0);     // 0xFF < 0x100
    EXPECT_GT(compareCells("1e5", "2"), 0);      // 0x1E5, not 100000
    EXPECT_EQ(compareCells("00012", "12"), 0);   // same hex value
    EXPECT_EQ(compareCells("5", "5"), 0);
}

TEST(CompareCells, NineOrMoreDigitsSaturate) {
    EXPECT_EQ(compareCells("123456789", "999999999"), 0);
    EXPECT_EQ(compareCells("268435455", "4294967295"), 0);
    EXPECT_EQ(compareCells("FFFFFFFF", "100000000"), 0);
    EXPECT_GT(compareCells("268435455", "99999999"), 0);
    EXPECT_GT(compareCells("100000000", "5"), 0);
}

TEST(CompareCells, DecimalRuleWhenNotBothHex) {
    EXPECT_GT(compareCells("10", "9.5"), 0);
    EXPECT_LT(compareCells("1.25", "1.5"), 0);
    EXPECT_LT(compareCells("-3", "2"), 0);
    EXPECT_GT(compareCells("1e5", "2.5"), 0);  // both decimal: 100000 > 2.5
    EXPECT_GT(compareCells("50%", "7%"), 0);
    EXPECT_LT(compareCells("7%", "12.5"), 0);
    EXPECT_EQ(compareCells("2.0", "2."), 0);
    EXPECT_EQ(compareCells("4.5%", "4.50"), 0);
    EXPECT_GT(compareCells("1e400", "1.5"), 0);  // overflow reads as infinity
    EXPECT_LT(compareCells("1e-400", "0.5"), 0);
    // Two percent signs make it text: compared as bytes, '5' > '4'.
    EXPECT_GT(compareCells("5%%", "40.0"), 0);
}

TEST(CompareCells, DateRule) {
    EXPECT_LT(compareCells("01-APR-2008", "07-MAR-2009"), 0);
    EXPECT_GT(compareCells("07-mar-2009", "28-FEB-2009"), 0);
    EXPECT_LT(compareCells("2009-03-07", "2010-01-01"), 0);
    EXPECT_GT(compareCells("03/07/2009", "12/31/2008"), 0);
    EXPECT_EQ(compareCells("07-MAR-2009", "2009-03-07"), 0);
    EXPECT_EQ(compareCells("03/07/2009", "2009-03-07"), 0);
    // Not dates (month 13): compared as bytes.
    EXPECT_GT(compareCells("2009-13-01", "2009-02-01"), 0);
}

TEST(CompareCells, BytesLast) {
    EXPECT_LT(compareCells("", "0"), 0);
    EXPECT_EQ(compareCells("", ""), 0);
    EXPECT_LT(compareCells("Zeta", "zeta"), 0);
    EXPECT_LT(compareCells("xyz", "xyzz"), 0);
    EXPECT_GT(compareCells("\xff", "z"), 0);  // unsigned bytes
    EXPECT_LT(compareCells("0x5", "10"), 0);  // "0x5" is neither hex digits nor a number
    EXPECT_LT(compareCells("FILE", "FOLDER"), 0);
}

std::vector<std::string> column(const RecordTable& t, int col) {
    std::vector<std::string> out;
    for (int r = 0; r < t.rowCount(); ++r) out.emplace_back(t.cell(r, col));
    return out;
}

TEST(SortByColumn, FolderTableBySelfPutsSyntheticRowLast) {
    RecordTable t = makeFolderTable();
    const std::pair<const char*, const char*> rows[] = {
        {"QVX_Miscellaneous", "268435455"}, {"Windows", "64"}, {"root", "5"},
        {"Users", "1000"}, {"tmp", "12"}, {"x", "38"}};
    for (const auto& [name, self] : rows) {
        const int r = t.appendRow(name);
        t.setCell(r, kSelf, self);
        t.setCell(r, kParent, name);
    }
    t.sortByColumn(kSelf);
    EXPECT_EQ(column(t, kSelf),
              (std::vector<std::string>{"5", "12", "38", "64", "1000", "268435455"}));
    // Whole rows move.
    for (int r = 0; r < t.rowCount(); ++r) EXPECT_EQ(t.cell(r, kName), t.cell(r, kParent));
    EXPECT_EQ(t.cell(5, kName), "QVX_Miscellaneous");
}

TEST(SortByColumn, BadColumnOrTinyTableIsNoOp) {
    RecordTable t = makeFolderTable();
    t.sortByColumn(0);
    t.appendRow("b");
    t.appendRow("a");
    t.sortByColumn(42);
    t.sortByColumn(-1);
    EXPECT_EQ(column(t, 0), (std::vector<std::string>{"b", "a"}));
    t.sortByColumn(0);
    EXPECT_EQ(column(t, 0), (std::vector<std::string>{"a", "b"}));
}

// The partitioning as a plain two-way recursion; the table's sort must end
// with exactly this permutation, equal keys included.
void referenceSort(std::vector<std::pair<std::string, int>>& v, int low, int high) {
    int lo = low;
    int hi = high;
    const std::string pivot = v[static_cast<std::size_t>((lo + hi) / 2)].first;
    while (lo <= hi) {
        while (lo < high && compareCells(v[lo].first, pivot) < 0) ++lo;
        while (hi > low && compareCells(v[hi].first, pivot) > 0) --hi;
        if (lo <= hi) {
            if (compareCells(v[lo].first, v[hi].first) != 0) std::swap(v[lo], v[hi]);
            ++lo;
            --hi;
        }
    }
    if (low < hi) referenceSort(v, low, hi);
    if (lo < high) referenceSort(v, lo, high);
}

TEST(SortByColumn, EqualKeysEndWhereTheQuicksortPutsThem) {
    const char* pool[] = {"5", "12", "12", "268435455", "123456789", "0", "", "FOLDER",
                          "7.5", "A", "1e5", "99999999", "07-MAR-2009", "2008-01-01", "5"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 60);
        RecordTable t({{"key", 10}, {"id", 10}});
        std::vector<std::pair<std::string, int>> ref;
        for (int i = 0; i < n; ++i) {
            const std::string key = pool[rng() % std::size(pool)];
            const int r = t.appendRow(key);
            t.setI32(r, 1, i);
            ref.emplace_back(key, i);
        }
        referenceSort(ref, 0, n - 1);
        t.sortByColumn(0);
        for (int r = 0; r < n; ++r) {
            ASSERT_EQ(t.cell(r, 0), ref[r].first) << "round " << round << " row " << r;
            ASSERT_EQ(t.getI32(r, 1), ref[r].second) << "round " << round << " row " << r;
        }
    }
}

TEST(SortByColumn, KnownOrderOfEqualKeys) {
    // Worked by hand: pivot "2" at index 2; rows 0 and 4 swap, then the
    // equal keys stay where the scan left them.
    RecordTable t({{"key", 10}, {"id", 10}});
    const char* keys[] = {"3", "2", "2", "1", "2"};
    for (int i = 0; i < 5; ++i) t.setI32(t.appendRow(keys[i]), 1, i);
    t.sortByColumn(0);
    std::vector<int> ids;
    for (int r = 0; r < 5; ++r) ids.push_back(t.getI32(r, 1));
    std::vector<std::pair<std::string, int>> ref;
    for (int i = 0; i < 5; ++i) ref.emplace_back(keys[i], i);
    referenceSort(ref, 0, 4);
    std::vector<int> refIds;
    for (const auto& p : ref) refIds.push_back(p.second);
    EXPECT_EQ(ids, refIds);
    EXPECT_EQ(column(t, 0), (std::vector<std::string>{"1", "2", "2", "2", "3"}));
}

TEST(SortByColumn, LargeHostileInputs) {
    constexpr int kRows = 200000;
    RecordTable equal({{"key", 10}, {"id", 10}});
    for (int i = 0; i < kRows; ++i) equal.setI32(equal.appendRow("42"), 1, i);
    equal.sortByColumn(0);
    // Equal rows are never swapped.
    for (int r = 0; r < kRows; ++r) ASSERT_EQ(equal.getI32(r, 1), r);

    RecordTable ascending({{"key", 10}});
    for (int i = 0; i < kRows; ++i) ascending.setI32(ascending.appendRow(""), 0, i);
    ascending.sortByColumn(0);
    for (int r = 0; r < kRows; ++r) ASSERT_EQ(ascending.getI32(r, 0), r);

    RecordTable descending({{"key", 10}});
    for (int i = 0; i < kRows; ++i) descending.setI32(descending.appendRow(""), 0, kRows - 1 - i);
    descending.sortByColumn(0);
    for (int r = 0; r < kRows; ++r) ASSERT_EQ(descending.getI32(r, 0), r);

    // Saturated keys: every 9-digit cell is equal, so these keep their order.
    RecordTable big({{"key", 10}, {"id", 10}});
    for (int i = 0; i < kRows; ++i) big.setI32(big.appendRow(std::to_string(100000000 + i)), 1, i);
    big.sortByColumn(0);
    for (int r = 0; r < kRows; ++r) ASSERT_EQ(big.getI32(r, 1), r);
}

}  // namespace
}  // namespace qvx::records

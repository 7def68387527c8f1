#include "records/record_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <algorithm>
#include <string>
#include <vector>

namespace qvx::records {
namespace {

RecordTable threeColumns() {
    return RecordTable({{"first", 10}, {"second", 10}, {"third", 10}});
}

TEST(CellParsing, ThirtyTwoBitReadsSaturate) {
    EXPECT_EQ(parseI32("4294967295"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(parseI32("2147483647"), 2147483647);
    EXPECT_EQ(parseI32("2147483648"), 2147483647);
    EXPECT_EQ(parseI32("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parseI32("-99999999999999999999"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parseI32("-1"), -1);
    EXPECT_EQ(parseU32("4294967295"), 4294967295u);
    EXPECT_EQ(parseU32("4294967296"), 4294967295u);
    EXPECT_EQ(parseU32("99999999999999999999999"), 4294967295u);
    EXPECT_EQ(parseU32("-1"), 0u);
}

TEST(CellParsing, NonNumericAndPrefixes) {
    EXPECT_EQ(parseI32(""), 0);
    EXPECT_EQ(parseI32("FOLDER"), 0);
    EXPECT_EQ(parseI32("-"), 0);
    EXPECT_EQ(parseI32("  42"), 42);
    EXPECT_EQ(parseI32("+42"), 42);
    EXPECT_EQ(parseI32("12abc"), 12);
    EXPECT_EQ(parseI32("0012"), 12);
    EXPECT_EQ(parseU32(""), 0u);
    EXPECT_EQ(parseI64(""), 0);
}

TEST(CellParsing, SixtyFourBitReads) {
    EXPECT_EQ(parseI64("4294967295"), 4294967295LL);
    EXPECT_EQ(parseI64("132514285190000000"), 132514285190000000LL);
    EXPECT_EQ(parseI64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseI64("9223372036854775808"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseI64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parseI64("-99999999999999999999"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parseU64("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parseU64("18446744073709551616"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parseU64("-5"), 0u);
}

TEST(RecordTable, TypedWritersUseDecimalText) {
    RecordTable t = threeColumns();
    const int r = t.appendRow("x");
    t.setU32(r, 1, static_cast<std::uint32_t>(-1));
    EXPECT_EQ(t.cell(r, 1), "4294967295");
    // The "no file system yet" marker never equals -1 through the 32-bit
    // read; only the 64-bit read tells it apart.
    EXPECT_EQ(t.getI32(r, 1), 2147483647);
    EXPECT_EQ(t.getU32(r, 1), 4294967295u);
    EXPECT_EQ(t.getI64(r, 1), 4294967295LL);

    t.setI32(r, 1, -1);
    EXPECT_EQ(t.cell(r, 1), "-1");
    EXPECT_EQ(t.getI32(r, 1), -1);
    t.setI64(r, 2, -132514285190000000LL);
    EXPECT_EQ(t.cell(r, 2), "-132514285190000000");
    t.setU64(r, 2, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(t.cell(r, 2), "18446744073709551615");
    EXPECT_EQ(t.getU64(r, 2), std::numeric_limits<std::uint64_t>::max());
    t.setU32(r, 0, 0);
    EXPECT_EQ(t.cell(r, 0), "0");
}

TEST(RecordTable, UnsetAndOutOfRangeCellsAreEmpty) {
    RecordTable t = threeColumns();
    t.appendRow("a");
    EXPECT_EQ(t.cell(0, 2), "");
    EXPECT_EQ(t.getI32(0, 2), 0);
    EXPECT_EQ(t.cell(1, 0), "");
    EXPECT_EQ(t.cell(-1, 0), "");
    EXPECT_EQ(t.cell(0, 3), "");

    t.setCell(0, 3, "ignored");
    t.setCell(0, -1, "ignored");
    t.setCell(5, 0, "ignored");
    EXPECT_EQ(t.rowCount(), 1);
    EXPECT_EQ(t.cell(0, 0), "a");
    EXPECT_EQ(t.cell(0, 1), "");
    EXPECT_EQ(t.cell(0, 2), "");
}

TEST(RecordTable, InsertRowPlacesAndClamps) {
    RecordTable t = threeColumns();
    EXPECT_EQ(t.appendRow("b"), 0);
    EXPECT_EQ(t.insertRow(0, "a"), 0);
    EXPECT_EQ(t.insertRow(99, "d"), 2);
    EXPECT_EQ(t.insertRow(2, "c"), 2);
    EXPECT_EQ(t.insertRow(-3, "0"), 0);
    ASSERT_EQ(t.rowCount(), 5);
    EXPECT_EQ(t.cell(0, 0), "0");
    EXPECT_EQ(t.cell(1, 0), "a");
    EXPECT_EQ(t.cell(2, 0), "b");
    EXPECT_EQ(t.cell(3, 0), "c");
    EXPECT_EQ(t.cell(4, 0), "d");
    EXPECT_EQ(t.columnIndex("third"), 2);
    EXPECT_EQ(t.columnIndex("Third"), -1);
}

TEST(RecordTable, ReadersWithSmallBuffersSeeCutText) {
    RecordTable t = threeColumns();
    const std::string longName(300, 'n');
    t.appendRow(longName);
    EXPECT_EQ(t.cell(0, 0).size(), 300u);
    EXPECT_EQ(t.getCell(0, 0, 256).size(), 255u);
    EXPECT_EQ(t.getCell(0, 0, 255).size(), 254u);
    EXPECT_EQ(t.getCell(0, 0), std::string(255, 'n'));
    EXPECT_EQ(t.getCell(0, 0, 1), "");
    EXPECT_EQ(t.getCell(0, 0, 0), "");

    const std::string exact(255, 'e');
    t.setCell(0, 1, exact);
    EXPECT_EQ(t.getCell(0, 1, 256), exact);
    EXPECT_EQ(t.getCell(0, 1, 255), exact.substr(0, 254));
}

TEST(RecordTable, FindRowByFirstCellIsExact) {
    RecordTable t = threeColumns();
    t.appendRow("1234");
    t.appendRow(" 123");
    t.appendRow("0123");
    t.appendRow("123 ");
    EXPECT_EQ(t.findRowByFirstCell("123"), -1);
    t.appendRow("123");
    t.appendRow("123");
    EXPECT_EQ(t.findRowByFirstCell("123"), 4);
    EXPECT_EQ(t.findRowByFirstCell("1234"), 0);
    EXPECT_EQ(t.findRowByFirstCell("12"), -1);
    EXPECT_EQ(t.findRowByFirstCell(""), -1);
    t.setCell(1, 1, "123");  // only the first cell is searched
    t.deleteRow(4);
    EXPECT_EQ(t.findRowByFirstCell("123"), 4);
}

TEST(RecordTable, DeleteWhileIteratingStepsBack) {
    RecordTable t = threeColumns();
    for (int i = 0; i < 10; ++i) {
        const int r = t.appendRow(std::to_string(i));
        t.setCell(r, 1, i % 3 == 0 ? "drop" : "keep");
    }
    for (int r = 0; r < t.rowCount(); ++r) {
        if (t.cell(r, 1) == "drop") {
            t.deleteRow(r);
            --r;
        }
    }
    ASSERT_EQ(t.rowCount(), 6);
    const char* expected[] = {"1", "2", "4", "5", "7", "8"};
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(t.cell(r, 0), expected[r]);
        EXPECT_EQ(t.cell(r, 1), "keep");
    }
    t.deleteRow(6);
    t.deleteRow(-1);
    EXPECT_EQ(t.rowCount(), 6);
}

TEST(RecordTable, ReusedRowStartsEmpty) {
    RecordTable t = threeColumns();
    t.appendRow("old");
    t.setCell(0, 1, "stale");
    t.setCell(0, 2, "stale");
    t.appendRow("kept");
    t.deleteRow(0);
    const int r = t.appendRow("new");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(t.cell(r, 0), "new");
    EXPECT_EQ(t.cell(r, 1), "");
    EXPECT_EQ(t.cell(r, 2), "");
    EXPECT_EQ(t.cell(0, 0), "kept");
}

TEST(RecordTable, CopyingACellWithinTheTable) {
    RecordTable t = threeColumns();
    t.appendRow("source text that is reasonably long");
    for (int i = 0; i < 2000; ++i) {
        const int r = t.appendRow("x");
        // The view points into the table's own store, which grows here.
        t.setCell(r, 1, r == 1 ? t.cell(0, 0) : t.cell(r - 1, 1));
        t.setCell(r, 2, t.cell(r, 1).substr(0, 6));
    }
    EXPECT_EQ(t.cell(2000, 1), "source text that is reasonably long");
    EXPECT_EQ(t.cell(2000, 2), "source");
}

TEST(RecordTable, CellsMovingBetweenShortAndStoredTextReadBackExactly) {
    // Texts of every length around the ones held in the cell itself (up to
    // three bytes) and around a length that takes a second byte (128), each
    // written over every other, in place and not, with bytes of zero inside;
    // then rows are deleted, their slots reused, and the store compacted.
    RecordTable t = threeColumns();
    std::vector<std::string> texts;
    for (const std::size_t n : {0, 1, 2, 3, 4, 5, 126, 127, 128, 129, 300}) {
        std::string text(n, 'a');
        for (std::size_t k = 0; k < n; ++k) text[k] = static_cast<char>(k % 7 == 3 ? '\0' : 'a' + (n + k) % 26);
        texts.push_back(text);
    }
    texts.push_back(std::string(2, '\0'));
    std::vector<std::vector<std::string>> expected;
    for (std::size_t a = 0; a < texts.size(); ++a) {
        for (std::size_t b = 0; b < texts.size(); ++b) {
            const int r = t.appendRow(texts[a]);
            t.setCell(r, 1, texts[a]);
            t.setCell(r, 1, texts[b]);   // over a shorter, a longer, a held or a stored text
            t.setCell(r, 2, t.cell(r, 1));  // its own table's text, held in the cell or the store
            t.setCell(r, 0, t.cell(r, 0));  // itself
            expected.push_back({texts[a], texts[b], texts[b]});
        }
    }
    // An appended row's first text taken from a cell of the table itself.
    const int copied = t.appendRow(t.cell(3, 1));
    expected.push_back({std::string(t.cell(3, 1)), "", ""});
    auto check = [&](const char* when) {
        ASSERT_EQ(t.rowCount(), static_cast<int>(expected.size())) << when;
        for (int r = 0; r < t.rowCount(); ++r)
            for (int c = 0; c < 3; ++c) ASSERT_EQ(t.cell(r, c), expected[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]) << when << " " << r << " " << c;
    };
    EXPECT_EQ(copied, t.rowCount() - 1);
    check("written");
    for (int r = t.rowCount() - 1; r >= 0; r -= 2) {
        t.deleteRow(r);
        expected.erase(expected.begin() + r);
    }
    check("after deletes");
    for (std::size_t k = 0; k < 40; ++k) {
        const int r = t.appendRow(texts[k % texts.size()]);
        expected.push_back({texts[k % texts.size()], "", ""});
        (void)r;
    }
    t.shrinkToFit();
    check("compacted");
    t.sortByColumn(0);
    for (int r = 0; r + 1 < t.rowCount(); ++r) ASSERT_LE(compareCells(t.cell(r, 0), t.cell(r + 1, 0)), 0);
}

TEST(RecordTable, RewritesAreCompacted) {
    RecordTable t = threeColumns();
    for (int i = 0; i < 1000; ++i) {
        const int r = t.appendRow(std::to_string(i));
        t.setCell(r, 2, "fixed");
    }
    const std::size_t before = t.memoryBytes();
    std::string value;
    for (int i = 0; i < 200000; ++i) {
        value.assign(static_cast<std::size_t>(1 + i % 40), static_cast<char>('a' + i % 26));
        t.setCell(i % 1000, 1, value);
    }
    EXPECT_LT(t.memoryBytes(), before + 200000);
    for (int r = 0; r < 1000; ++r) {
        ASSERT_EQ(t.cell(r, 0), std::to_string(r));
        ASSERT_EQ(t.cell(r, 2), "fixed");
        const int last = 199000 + r;
        ASSERT_EQ(t.cell(r, 1),
                  std::string(static_cast<std::size_t>(1 + last % 40), static_cast<char>('a' + last % 26)));
    }
}

TEST(RecordTable, DeletingMostRowsReleasesTheirText) {
    RecordTable t = threeColumns();
    const std::string text(100, 'z');
    for (int i = 0; i < 20000; ++i) {
        const int r = t.appendRow(std::to_string(i));
        t.setCell(r, 1, text);
    }
    const std::size_t full = t.memoryBytes();
    for (int r = t.rowCount() - 1; r >= 0; --r) {
        if (r % 100 != 0) t.deleteRow(r);
    }
    ASSERT_EQ(t.rowCount(), 200);
    EXPECT_LT(t.memoryBytes(), full / 2);
    // Refilling reuses the freed row slots.
    for (int i = 0; i < 19800; ++i) {
        const int r = t.appendRow("n");
        t.setCell(r, 1, text);
    }
    EXPECT_LE(t.memoryBytes(), full);
    for (int r = 0; r < 200; ++r) {
        ASSERT_EQ(t.cell(r, 0), std::to_string(r * 100));
        ASSERT_EQ(t.cell(r, 1), text);
    }
    EXPECT_EQ(t.cell(t.rowCount() - 1, 1), text);
}

TEST(RecordTable, ClearKeepsColumns) {
    RecordTable t = threeColumns();
    for (int i = 0; i < 100; ++i) t.appendRow("row");
    t.clear();
    EXPECT_EQ(t.rowCount(), 0);
    EXPECT_EQ(t.columnCount(), 3);
    EXPECT_EQ(t.findRowByFirstCell("row"), -1);
    EXPECT_EQ(t.appendRow("again"), 0);
    EXPECT_EQ(t.cell(0, 0), "again");
    EXPECT_EQ(t.cell(0, 1), "");
}

}  // namespace
}  // namespace qvx::records

#include "records/file_list.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace qvx::records {
namespace {

TEST(NtfsDateTexts, FileTimeToUtcCalendarWithoutPadding) {
    // 2009-03-07 09:05:30 UTC.
    const std::int64_t t = 128'808'903'300'000'000LL;
    EXPECT_EQ(ntfsDateText(t), "7-MAR-2009");
    EXPECT_EQ(ntfsTimeText(t), "9:5:30");
    EXPECT_EQ(ntfsDateText(0), "1-JAN-1601");
    EXPECT_EQ(ntfsTimeText(0), "0:0:0");
    EXPECT_EQ(ntfsDateText(-5), "1-JAN-1601");
    // Leap day 2004-02-29 12:00:00.
    EXPECT_EQ(ntfsDateText(127'225'296'000'000'000LL), "29-FEB-2004");
    EXPECT_EQ(ntfsTimeText(127'225'296'000'000'000LL), "12:0:0");
}

TEST(FatDateTexts, TwoDigitFieldsAndErrMonths) {
    EXPECT_EQ(fatDateText(static_cast<std::uint16_t>((29 << 9) | (3 << 5) | 7)), "07-MAR-2009");
    EXPECT_EQ(fatDateText(0), "00-ERR-1980");
    EXPECT_EQ(fatDateText(static_cast<std::uint16_t>(13 << 5)), "00-ERR-1980");
    EXPECT_EQ(fatTimeText(static_cast<std::uint16_t>((14 << 11) | (5 << 5))), "14:05");
    EXPECT_EQ(monthAbbreviation(12), "DEC");
    // Every word of either kind, against the printf form the texts keep.
    for (std::uint32_t w = 0; w <= 0xFFFF; ++w) {
        const auto word = static_cast<std::uint16_t>(w);
        char text[32];
        std::snprintf(text, sizeof text, "%02d-%s-%d", word & 0x1F, monthAbbreviation((word >> 5) & 0x0F).c_str(),
                      (word >> 9) + 1980);
        ASSERT_EQ(fatDateText(word), text) << w;
        std::snprintf(text, sizeof text, "%02d:%02d", word >> 11, (word >> 5) & 0x3F);
        ASSERT_EQ(fatTimeText(word), text) << w;
    }
}

TEST(ParentRowIndex, GroupsRowsByParentInTableOrder) {
    RecordTable table({{"Name", 1}, {"sector", 1}, {"self", 1}, {"parent", 1}});
    for (int i = 0; i < 5; ++i) {
        const int row = table.appendRow("f");
        table.setU32(row, 3, i % 2 == 0 ? 5u : 9u);
    }
    const ParentRowIndex index(table);
    EXPECT_EQ(index.rowsOf(5), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(index.rowsOf(9), (std::vector<int>{1, 3}));
    EXPECT_TRUE(index.rowsOf(7).empty());
}

}  // namespace
}  // namespace qvx::records

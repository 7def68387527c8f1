// Name conversions: UTF-16LE with surrogate pairs to UTF-8, the 8-bit
// fallback for old session logs, and cuts that never split a character.

#include "util/utf.h"

#include <gtest/gtest.h>

#include <vector>

#include "util/diagnostics.h"

namespace qvx::util {
namespace {

std::vector<std::uint8_t> units(std::initializer_list<std::uint16_t> u) {
    std::vector<std::uint8_t> out;
    for (std::uint16_t v : u) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return out;
}

TEST(Utf16, BmpAndSurrogatePairsBecomeUtf8) {
    // "Жук 🐞" and a CJK character.
    EXPECT_EQ(utf16leToUtf8(units({0x0416, 0x0443, 0x043A, 0x20, 0xD83D, 0xDC1E, 0x4E00})),
              "\xD0\x96\xD1\x83\xD0\xBA \xF0\x9F\x90\x9E\xE4\xB8\x80");
}

TEST(Utf16, UnpairedSurrogatesBecomeReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(utf16leToUtf8(units({0xD800, 'a'})), replacement + "a");
    EXPECT_EQ(utf16leToUtf8(units({'a', 0xDC00})), "a" + replacement);
    EXPECT_EQ(utf16leToUtf8(units({0xD800})), replacement);
    EXPECT_TRUE(isValidUtf8(utf16leToUtf8(units({0xDBFF, 0xDBFF, 0xDFFF}))));
    // An odd trailing byte is not a unit.
    EXPECT_EQ(utf16leToUtf8(std::vector<std::uint8_t>{'a', 0, 'b'}), "a");
}

TEST(Utf8, ValidityAndTheLatin1Fallback) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("caf\xE9"));          // Latin-1
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE4\xB8"));         // cut short
    EXPECT_EQ(utf8OrLatin1("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(utf8OrLatin1("caf\xC3\xA9"), "caf\xC3\xA9");
}

TEST(Utf8, CutsKeepWholeCharacters) {
    const std::string s = "ab\xE4\xB8\x80";
    EXPECT_EQ(utf8Cut(s, 10), s.size());
    EXPECT_EQ(utf8Cut(s, 4), 2u);
    EXPECT_EQ(utf8Cut(s, 3), 2u);
    EXPECT_EQ(utf8Cut(s, 2), 2u);
}

TEST(Diagnostics, CountsKeepTheFirstSamplesAndReadAsLines) {
    Diagnostics d;
    EXPECT_TRUE(d.empty());
    d.add(Problem::UnreadableRecords, 1, 1234, 99999);
    d.add(Problem::UnreadableRecords, 2, 1300, 100100);
    d.add(Problem::TornRecord, 1, 7, 80);
    const auto lines = d.summaryLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "3 MFT records could not be read (first: record 1234 at sector 99999)");
    EXPECT_EQ(lines[1], "1 MFT record is torn (an update-sequence check failed) (first: record 7 at sector 80)");
    for (int i = 0; i < 10; ++i) d.add(Problem::CorruptRecord, 1, i, i);
    EXPECT_EQ(d.count(Problem::CorruptRecord), 10u);
    EXPECT_EQ(d.samples(Problem::CorruptRecord).size(), Diagnostics::kSamplesKept);
    Diagnostics copy = d;
    EXPECT_EQ(copy.count(Problem::UnreadableRecords), 3u);
    copy.clear();
    EXPECT_TRUE(copy.empty());
    EXPECT_FALSE(d.empty());
}

}  // namespace
}  // namespace qvx::util

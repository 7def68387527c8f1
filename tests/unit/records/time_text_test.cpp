#include "records/time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "records/file_list.h"
#include "records/items.h"

namespace qvx::records {
namespace {

// 2004-02-29 12:00:00 UTC, a leap day.
constexpr std::int64_t kLeapNoon = 127'225'296'000'000'000LL;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

TEST(IsoTimestamp, UtcCarriesZAndSeconds) {
    EXPECT_EQ(isoTimestamp(kLeapNoon, true), "2004-02-29T12:00:00Z");
    EXPECT_EQ(isoTimestamp(kLeapNoon + 59 * kTicksPerSecond + 9'999'999, true), "2004-02-29T12:00:59Z");
    // 2009-03-07 09:05:30: every field two digits.
    EXPECT_EQ(isoTimestamp(128'808'903'300'000'000LL, true), "2009-03-07T09:05:30Z");
}

TEST(TimeTexts, ATextRepeatedOrInTurnWithOthersIsTheOneMadeAlone) {
    // Each thread keeps its last texts: a sequence of nearby and far times,
    // the same ones again and a five-digit year gives, one by one, what a
    // fresh thread makes of each.
    const std::int64_t day = 86'400 * kTicksPerSecond;
    const std::vector<std::int64_t> times{kLeapNoon,       kLeapNoon + 1,   kLeapNoon + kTicksPerSecond,
                                          kLeapNoon + day, kLeapNoon,       kLeapNoon - day + 1,
                                          -3,              0,               2'650'467'743'999'999'999LL,
                                          kLeapNoon,       kLeapNoon + day, kLeapNoon + day + kTicksPerSecond};
    auto texts = [](std::int64_t t) {
        return isoTimestamp(t, true) + "|" + isoTimestamp(t, false) + "|" + ntfsDateText(t) + "|" + ntfsTimeText(t);
    };
    for (const std::int64_t t : times) {
        const std::string inTurn = texts(t);
        std::string alone;
        std::thread([&] { alone = texts(t); }).join();
        EXPECT_EQ(inTurn, alone) << t;
    }
}

TEST(IsoTimestamp, WallClockHasNoZone) {
    const std::int64_t t = fatToFileTime(static_cast<std::uint16_t>((29 << 9) | (3 << 5) | 7),
                                         static_cast<std::uint16_t>((14 << 11) | (5 << 5) | 15));
    EXPECT_EQ(isoTimestamp(t, false), "2009-03-07T14:05:30");
}

TEST(IsoTimestamp, NotRecordedIsEmpty) {
    EXPECT_EQ(isoTimestamp(0, true), "");
    EXPECT_EQ(isoTimestamp(-1, false), "");
    // The first FILETIME tick is a date.
    EXPECT_EQ(isoTimestamp(1, true), "1601-01-01T00:00:00Z");
}

TEST(IsoTimestamp, AppendsAndKeepsFiveDigitYears) {
    std::string out = "t=";
    appendIsoTimestamp(out, kLeapNoon, false);
    appendIsoTimestamp(out, 0, true);
    EXPECT_EQ(out, "t=2004-02-29T12:00:00");
    // The last FILETIME a signed 64-bit value holds falls in the year 30828.
    EXPECT_EQ(isoTimestamp(INT64_MAX, true), "30828-09-14T02:48:05Z");
    EXPECT_EQ(isoTimestamp(2'650'467'743'990'000'000LL, true), "9999-12-31T23:59:59Z");
}

TEST(BodyfileUtcSeconds, WholeSecondsSince1970) {
    EXPECT_EQ(bodyfileUtcSeconds(116'444'736'000'000'000LL), 0u);
    EXPECT_EQ(bodyfileUtcSeconds(kLeapNoon), 1078056000u);
    EXPECT_EQ(bodyfileUtcSeconds(kLeapNoon + 9'999'999), 1078056000u);
}

TEST(BodyfileUtcSeconds, ValuesBefore1970WrapAsTimelineToolsWriteThem) {
    // fls writes a stored 0 as 3373865674: unsigned 64-bit arithmetic kept to 32 bits.
    EXPECT_EQ(bodyfileUtcSeconds(0), 3373865674u);
}

class WallClockZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_had = tz != nullptr;
        if (m_had) m_saved = tz;
    }
    void TearDown() override {
        if (m_had) setenv("TZ", m_saved.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    static void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool m_had = false;
    std::string m_saved;
};

TEST_F(WallClockZone, ReadInTheZoneOfTz) {
    const std::int64_t t = fatToFileTime(static_cast<std::uint16_t>((24 << 9) | (2 << 5) | 29),
                                         static_cast<std::uint16_t>(12 << 11));
    std::int64_t seconds = 0;
    use("UTC0");
    ASSERT_TRUE(wallClockToUnix(t, seconds));
    EXPECT_EQ(seconds, 1078056000);
    use("EST5");
    ASSERT_TRUE(wallClockToUnix(t, seconds));
    EXPECT_EQ(seconds, 1078056000 + 5 * 3600);
    EXPECT_FALSE(wallClockToUnix(0, seconds));
}

}  // namespace
}  // namespace qvx::records

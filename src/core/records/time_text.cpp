#include "records/time_text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "records/items.h"

namespace qvx::records {

namespace {
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 in FILETIME
constexpr std::int64_t kSecondsPerDay = 86'400;
}  // namespace

// Days counted from 1601-01-01, the start of a 400-year Gregorian cycle, so
// the cycle arithmetic needs no shift of the epoch beyond moving March first.
CivilTime civilFromFileTime(std::int64_t fileTime) {
    if (fileTime < 0) fileTime = 0;
    const std::int64_t seconds = fileTime / kTicksPerSecond;
    std::int64_t days = seconds / kSecondsPerDay;
    const std::int64_t secondOfDay = seconds % kSecondsPerDay;
    CivilTime t{};
    t.hour = static_cast<int>(secondOfDay / 3600);
    t.minute = static_cast<int>(secondOfDay / 60 % 60);
    t.second = static_cast<int>(secondOfDay % 60);
    // A listing converts several times of each item, mostly of a few days:
    // the last day converted is kept.
    struct LastDay {
        std::int64_t days = -1;
        std::int64_t year = 0;
        int month = 0;
        int day = 0;
    };
    thread_local LastDay last;
    if (last.days == days) {
        t.year = last.year;
        t.month = last.month;
        t.day = last.day;
        return t;
    }
    last.days = days;
    // Shift to a year that starts on 1 March 1600 so leap days fall last.
    days += 306;
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    t.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = 1600 + yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0);
    last.year = t.year;
    last.month = t.month;
    last.day = t.day;
    return t;
}

std::string isoTimestamp(std::int64_t fileTime, bool utc) {
    std::string out;
    appendIsoTimestamp(out, fileTime, utc);
    return out;
}

void appendIsoTimestamp(std::string& out, std::int64_t fileTime, bool utc) {
    if (fileTime <= 0) return;
    // A row gives four times, mostly the same second, and a file's streams
    // and names give its times again: the last text made is kept.
    struct LastText {
        std::int64_t seconds = -1;
        char text[19] = {};
    };
    thread_local LastText last;
    const std::int64_t seconds = fileTime / kTicksPerSecond;
    if (seconds == last.seconds) {
        out.append(last.text, sizeof last.text);
        if (utc) out += 'Z';
        return;
    }
    const CivilTime c = civilFromFileTime(fileTime);
    // FILETIME reaches the year 30828: a fifth year digit is written whole.
    if (c.year > 9999) {
        char text[48];
        std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d", static_cast<long long>(c.year), c.month,
                      c.day, c.hour, c.minute, c.second);
        out += text;
    } else {
        const auto year = static_cast<int>(c.year);
        char text[19] = {static_cast<char>('0' + year / 1000),       static_cast<char>('0' + year / 100 % 10),
                         static_cast<char>('0' + year / 10 % 10),    static_cast<char>('0' + year % 10),
                         '-',
                         static_cast<char>('0' + c.month / 10),      static_cast<char>('0' + c.month % 10),
                         '-',
                         static_cast<char>('0' + c.day / 10),        static_cast<char>('0' + c.day % 10),
                         'T',
                         static_cast<char>('0' + c.hour / 10),       static_cast<char>('0' + c.hour % 10),
                         ':',
                         static_cast<char>('0' + c.minute / 10),     static_cast<char>('0' + c.minute % 10),
                         ':',
                         static_cast<char>('0' + c.second / 10),     static_cast<char>('0' + c.second % 10)};
        out.append(text, sizeof text);
        static_assert(sizeof text == sizeof last.text);
        std::copy_n(text, sizeof text, last.text);
        last.seconds = seconds;
    }
    if (utc) out += 'Z';
}

std::uint32_t bodyfileUtcSeconds(std::int64_t fileTime) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(fileTime) - static_cast<std::uint64_t>(kUnixEpochTicks);
    return static_cast<std::uint32_t>(ticks / static_cast<std::uint64_t>(kTicksPerSecond));
}

bool wallClockToUnix(std::int64_t fileTime, std::int64_t& out) {
    if (fileTime <= 0) return false;
    const auto t = static_cast<std::time_t>(fileTimeToUnixUtc(fileTime));
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return false;
    tm.tm_isdst = -1;
    const std::time_t local = std::mktime(&tm);
    if (local == static_cast<std::time_t>(-1)) return false;
    out = static_cast<std::int64_t>(local);
    return true;
}

}  // namespace qvx::records

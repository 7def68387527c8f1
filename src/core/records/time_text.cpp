#include "records/time_text.h"

#include <cstdio>
#include <ctime>

#include "records/items.h"

namespace qvx::records {

namespace {
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 in FILETIME

// Civil date of a day count from 1970-01-01 (proleptic Gregorian).
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}
}  // namespace

std::string isoTimestamp(std::int64_t fileTime, bool utc) {
    if (fileTime <= 0) return {};
    const std::int64_t seconds = fileTimeToUnixUtc(fileTime);
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld%s", static_cast<long long>(year), month, day,
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60), utc ? "Z" : "");
    return text;
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

#include "records/file_list.h"

#include <array>
#include <cstdio>

#include "records/tables.h"

namespace qvx::records {

std::vector<Column> fileListColumns() {
    return {{"Name", 145}, {"Type", 100}, {"Size", 70}, {"Date", 100}, {"Time", 70},
            {"Debug Info 1", 0}, {"Debug Info 2", 0}, {"Debug Info 3", 0}};
}

ParentRowIndex::ParentRowIndex(const RecordTable& table) {
    for (int row = 0; row < table.rowCount(); ++row)
        m_rows[static_cast<std::uint32_t>(table.getI32(row, kParent))].push_back(row);
}

const std::vector<int>& ParentRowIndex::rowsOf(std::uint32_t parentId) const {
    static const std::vector<int> kNone;
    auto it = m_rows.find(parentId);
    return it == m_rows.end() ? kNone : it->second;
}

std::string monthAbbreviation(int month) {
    static const std::array<const char*, 12> kMonths{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (month < 1 || month > 12) return "ERR";
    return kMonths[static_cast<std::size_t>(month - 1)];
}

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

struct CivilTime {
    std::int64_t year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// Days counted from 1601-01-01, the start of a 400-year Gregorian cycle, so
// the cycle arithmetic needs no shift of the epoch beyond moving March first.
CivilTime civilFromFileTime(std::int64_t fileTime) {
    if (fileTime < 0) fileTime = 0;
    const std::int64_t seconds = fileTime / kTicksPerSecond;
    std::int64_t days = seconds / kSecondsPerDay;
    const std::int64_t secondOfDay = seconds % kSecondsPerDay;
    // Shift to a year that starts on 1 March 1600 so leap days fall last.
    days += 306;
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    CivilTime t{};
    t.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = 1600 + yearOfEra + era * 400 + (t.month <= 2 ? 1 : 0);
    t.hour = static_cast<int>(secondOfDay / 3600);
    t.minute = static_cast<int>(secondOfDay / 60 % 60);
    t.second = static_cast<int>(secondOfDay % 60);
    return t;
}

}  // namespace

std::string ntfsDateText(std::int64_t fileTime) {
    const CivilTime t = civilFromFileTime(fileTime);
    return std::to_string(t.day) + "-" + monthAbbreviation(t.month) + "-" + std::to_string(t.year);
}

std::string ntfsTimeText(std::int64_t fileTime) {
    const CivilTime t = civilFromFileTime(fileTime);
    return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second);
}

std::string fatDateText(std::uint16_t dateWord) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d-%s-%d", dateWord & 0x1F, monthAbbreviation((dateWord >> 5) & 0x0F).c_str(),
                  (dateWord >> 9) + 1980);
    return text;
}

std::string fatTimeText(std::uint16_t timeWord) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", timeWord >> 11, (timeWord >> 5) & 0x3F);
    return text;
}

}  // namespace qvx::records

#include "records/file_list.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "records/tables.h"
#include "records/time_text.h"

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

namespace {

const char* monthText(int month) {
    static const std::array<const char*, 12> kMonths{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    return month < 1 || month > 12 ? "ERR" : kMonths[static_cast<std::size_t>(month - 1)];
}

void appendDecimal(std::string& out, std::int64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    out.append(digits, end);
}

void appendTwoDigits(std::string& out, int value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string monthAbbreviation(int month) { return monthText(month); }

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;

// A listing makes the date and time texts of every file, mostly of a few
// days and seconds: the last text made on each thread is kept, by the day
// or second it shows (times before 1601 show as 1601).
struct LastText {
    std::int64_t key = -1;
    char text[32] = {};
    std::size_t length = 0;
};

template <class Make>
void appendKept(std::string& out, LastText& last, std::int64_t key, Make make) {
    if (key == last.key) {
        out.append(last.text, last.length);
        return;
    }
    const std::size_t at = out.size();
    make();
    const std::size_t length = out.size() - at;
    if (length > sizeof last.text) return;
    std::copy_n(out.data() + at, length, last.text);
    last.length = length;
    last.key = key;
}

}  // namespace

void appendNtfsDateText(std::string& out, std::int64_t fileTime) {
    thread_local LastText last;
    appendKept(out, last, std::max<std::int64_t>(fileTime, 0) / (kTicksPerSecond * 86'400), [&] {
        const CivilTime t = civilFromFileTime(fileTime);
        appendDecimal(out, t.day);
        out += '-';
        out += monthText(t.month);
        out += '-';
        appendDecimal(out, t.year);
    });
}

void appendNtfsTimeText(std::string& out, std::int64_t fileTime) {
    thread_local LastText last;
    appendKept(out, last, std::max<std::int64_t>(fileTime, 0) / kTicksPerSecond, [&] {
        const CivilTime t = civilFromFileTime(fileTime);
        appendDecimal(out, t.hour);
        out += ':';
        appendDecimal(out, t.minute);
        out += ':';
        appendDecimal(out, t.second);
    });
}

std::string ntfsDateText(std::int64_t fileTime) {
    std::string out;
    appendNtfsDateText(out, fileTime);
    return out;
}

std::string ntfsTimeText(std::int64_t fileTime) {
    std::string out;
    appendNtfsTimeText(out, fileTime);
    return out;
}

std::string fatDateText(std::uint16_t dateWord) {
    // Day and month are 5 and 4 bits: two digits always hold them.
    std::string out;
    appendTwoDigits(out, dateWord & 0x1F);
    out += '-';
    out += monthText((dateWord >> 5) & 0x0F);
    out += '-';
    appendDecimal(out, (dateWord >> 9) + 1980);
    return out;
}

std::string fatTimeText(std::uint16_t timeWord) {
    // Hours are 5 bits and minutes 6: up to 31 and 63, two digits each.
    std::string out;
    appendTwoDigits(out, timeWord >> 11);
    out += ':';
    appendTwoDigits(out, (timeWord >> 5) & 0x3F);
    return out;
}

}  // namespace qvx::records

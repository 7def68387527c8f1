#include "records/record_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

namespace qvx::records {

namespace {

// Offsets into the store have 31 bits.
constexpr std::size_t kMaxStoreBytes = (std::size_t{1} << 31) - 1;
// Compacting walks every cell, so tiny amounts of garbage are left alone.
constexpr std::size_t kMinCompactGarbage = 4096;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Shared by the decimal parsers: skips blanks, reads an optional sign and the
// digits that follow, accumulating the magnitude with saturation at limit.
struct DecimalPrefix {
    bool negative = false;
    std::uint64_t magnitude = 0;  // saturated at the limit passed in
};

DecimalPrefix readDecimalPrefix(std::string_view text, std::uint64_t limit) {
    DecimalPrefix out;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        out.negative = text[i] == '-';
        ++i;
    }
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (out.magnitude > (limit - digit) / 10) {
            out.magnitude = limit;
            // Keep consuming digits: the value stays saturated.
            continue;
        }
        out.magnitude = out.magnitude * 10 + digit;
    }
    return out;
}

template <typename Signed>
Signed parseSigned(std::string_view text) {
    using U = std::make_unsigned_t<Signed>;
    constexpr auto maxPos = static_cast<std::uint64_t>(std::numeric_limits<Signed>::max());
    // The magnitude of the most negative value is one more than the maximum.
    const DecimalPrefix p = readDecimalPrefix(text, maxPos + 1);
    if (p.negative) {
        if (p.magnitude > maxPos) return std::numeric_limits<Signed>::min();
        return static_cast<Signed>(-static_cast<Signed>(static_cast<U>(p.magnitude)));
    }
    if (p.magnitude > maxPos) return std::numeric_limits<Signed>::max();
    return static_cast<Signed>(p.magnitude);
}

template <typename Unsigned>
Unsigned parseUnsigned(std::string_view text) {
    const DecimalPrefix p =
        readDecimalPrefix(text, static_cast<std::uint64_t>(std::numeric_limits<Unsigned>::max()));
    if (p.negative) return 0;
    return static_cast<Unsigned>(p.magnitude);
}

template <typename T>
std::string_view formatDecimal(char (&buf)[24], T value) {
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return {buf, static_cast<std::size_t>(res.ptr - buf)};
}

// ---- Sort keys ------------------------------------------------------------

// Rule 1: non-empty text made only of hexadecimal digits, read as an
// unsigned 32-bit number that saturates at 0xFFFFFFFF.
bool readHex(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        const int d = hexDigitValue(c);
        if (d < 0) return false;
        if (v <= 0xFFFFFFFFu) v = v * 16 + static_cast<std::uint64_t>(d);
    }
    value = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
    return true;
}

// Rule 2: the whole text is a decimal floating-point number (leading blanks,
// sign, digits with an optional point, optional exponent), optionally
// followed by exactly one '%'.
bool readNumber(std::string_view text, double& value) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t mantissa = i;
    std::size_t intDigits = 0;
    std::size_t fracDigits = 0;
    while (i < text.size() && isDigit(text[i])) { ++i; ++intDigits; }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) { ++i; ++fracDigits; }
    }
    if (intDigits + fracDigits == 0) return false;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            expNegative = text[j] == '-';
            ++j;
        }
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) {
                if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
                ++j;
            }
            if (expNegative) exponent = -exponent;
            i = j;
        }
        // An 'e' without digits ends the number there, so the text as a
        // whole is not one; the checks below reject it.
    }
    const std::size_t numberEnd = i;
    if (i < text.size() && text[i] == '%') ++i;
    if (i != text.size()) return false;

    const char* first = text.data() + mantissa;
    const char* last = text.data() + numberEnd;
    double v = 0.0;
    const auto res = std::from_chars(first, last, v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the position of the
        // first significant digit.
        long long magnitude = exponent;
        std::size_t k = mantissa;
        while (k < numberEnd && (text[k] == '0' || text[k] == '.')) ++k;
        const std::size_t pointPos = mantissa + intDigits;
        if (k < pointPos) magnitude += static_cast<long long>(pointPos - k);
        else magnitude -= static_cast<long long>(k - pointPos);
        v = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (res.ec != std::errc() || res.ptr != last) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

int monthFromName(std::string_view s) {
    static constexpr const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (s.size() != 3) return 0;
    for (int m = 0; m < 12; ++m) {
        bool same = true;
        for (std::size_t k = 0; k < 3; ++k) {
            char c = s[k];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c != kMonths[m][k]) same = false;
        }
        if (same) return m + 1;
    }
    return 0;
}

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

int smallNumber(std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Rule 3: plain calendar dates: DD-MON-YYYY, YYYY-MM-DD, MM/DD/YYYY.
// The value is yyyymmdd, which orders like the date.
bool readDate(std::string_view text, std::uint32_t& value) {
    if (text.size() < 8 || text.size() > 11) return false;
    int y = 0;
    int m = 0;
    int d = 0;
    if (text.size() == 11 && text[2] == '-' && text[6] == '-') {
        const auto dd = text.substr(0, 2), mon = text.substr(3, 3), yy = text.substr(7, 4);
        if (!allDigits(dd) || !allDigits(yy)) return false;
        d = smallNumber(dd);
        m = monthFromName(mon);
        y = smallNumber(yy);
    } else if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        const auto yy = text.substr(0, 4), mm = text.substr(5, 2), dd = text.substr(8, 2);
        if (!allDigits(yy) || !allDigits(mm) || !allDigits(dd)) return false;
        y = smallNumber(yy);
        m = smallNumber(mm);
        d = smallNumber(dd);
    } else if (text.size() == 10 && text[2] == '/' && text[5] == '/') {
        const auto mm = text.substr(0, 2), dd = text.substr(3, 2), yy = text.substr(6, 4);
        if (!allDigits(yy) || !allDigits(mm) || !allDigits(dd)) return false;
        y = smallNumber(yy);
        m = smallNumber(mm);
        d = smallNumber(dd);
    } else {
        return false;
    }
    if (m < 1 || m > 12 || d < 1 || d > 31) return false;
    value = static_cast<std::uint32_t>(y * 10000 + m * 100 + d);
    return true;
}

struct SortKey {
    std::string_view text;
    double number = 0.0;
    std::uint32_t hex = 0;
    std::uint32_t date = 0;
    bool isHex = false;
    bool isNumber = false;
    bool isDate = false;
};

SortKey makeKey(std::string_view text) {
    SortKey k;
    k.text = text;
    k.isHex = readHex(text, k.hex);
    k.isNumber = readNumber(text, k.number);
    k.isDate = readDate(text, k.date);
    return k;
}

template <typename T>
int threeWay(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compareBytes(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n > 0) {
        const int c = std::memcmp(a.data(), b.data(), n);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return threeWay(a.size(), b.size());
}

int compareKeys(const SortKey& a, const SortKey& b) {
    if (a.isHex && b.isHex) return threeWay(a.hex, b.hex);
    if (a.isNumber && b.isNumber) return threeWay(a.number, b.number);
    if (a.isDate && b.isDate) return threeWay(a.date, b.date);
    return compareBytes(a.text, b.text);
}

// Quicksort over [low, high] with the middle element as pivot. Rows that
// compare equal are not swapped, and the order in which equal rows end up is
// relied upon by the stages that build trees from the sorted table, so the
// partitioning must stay exactly this one. The smaller part is sorted by
// recursion and the larger one by looping, which bounds the depth by log2(n)
// without changing the result (the two parts are disjoint).
void quickSort(std::vector<SortKey>& keys, std::vector<std::uint32_t>& rows, int low, int high) {
    while (low < high) {
        int lo = low;
        int hi = high;
        const SortKey pivot = keys[static_cast<std::size_t>(lo + (hi - lo) / 2)];
        while (lo <= hi) {
            while (lo < high && compareKeys(keys[static_cast<std::size_t>(lo)], pivot) < 0) ++lo;
            while (hi > low && compareKeys(keys[static_cast<std::size_t>(hi)], pivot) > 0) --hi;
            if (lo <= hi) {
                const auto l = static_cast<std::size_t>(lo);
                const auto h = static_cast<std::size_t>(hi);
                if (compareKeys(keys[l], keys[h]) != 0) {
                    std::swap(keys[l], keys[h]);
                    std::swap(rows[l], rows[h]);
                }
                ++lo;
                --hi;
            }
        }
        // Parts: [low, hi] and [lo, high].
        if (hi - low < high - lo) {
            if (low < hi) quickSort(keys, rows, low, hi);
            low = lo;
        } else {
            if (lo < high) quickSort(keys, rows, lo, high);
            high = hi;
        }
    }
}

}  // namespace

// ---- Parsing --------------------------------------------------------------

std::int32_t parseI32(std::string_view text) { return parseSigned<std::int32_t>(text); }
std::int64_t parseI64(std::string_view text) { return parseSigned<std::int64_t>(text); }
std::uint32_t parseU32(std::string_view text) { return parseUnsigned<std::uint32_t>(text); }
std::uint64_t parseU64(std::string_view text) { return parseUnsigned<std::uint64_t>(text); }

int compareCells(std::string_view a, std::string_view b) {
    return compareKeys(makeKey(a), makeKey(b));
}

// ---- RecordTable ----------------------------------------------------------

RecordTable::RecordTable(std::vector<Column> columns) : m_columns(std::move(columns)) {}

int RecordTable::columnIndex(std::string_view heading) const {
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].heading == heading) return static_cast<int>(i);
    }
    return -1;
}

int RecordTable::insertRow(int index, std::string_view firstCellText) {
    const int count = rowCount();
    if (count == std::numeric_limits<int>::max()) return -1;
    index = std::clamp(index, 0, count);
    const std::size_t columns = m_columns.size();
    // The text may be a cell of this table, held in the cells that grow.
    std::string copy;
    if (holds(firstCellText)) {
        copy.assign(firstCellText);
        firstCellText = copy;
    }
    std::uint32_t slot = 0;
    if (!m_freeSlots.empty()) {
        slot = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(columns == 0 ? m_rows.size() : m_cells.size() / columns);
        m_cells.resize(m_cells.size() + columns);
    }
    if (index == count) {
        m_rows.push_back(slot);
    } else {
        m_rows.insert(m_rows.begin() + index, slot);
    }
    setCell(index, 0, firstCellText);
    return index;
}

bool RecordTable::holds(std::string_view text) const {
    auto within = [&text](const char* begin, std::size_t bytes) {
        return bytes != 0 && !text.empty() && std::less_equal<>{}(begin, text.data()) &&
               std::less<>{}(text.data(), begin + bytes);
    };
    return within(m_store.data(), m_store.size()) ||
           (!m_cells.empty() && within(m_cells.front().bytes, m_cells.size() * sizeof(CellRef)));
}

std::uint32_t RecordTable::offsetOf(const CellRef& ref) {
    const auto* b = reinterpret_cast<const unsigned char*>(ref.bytes);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

void RecordTable::setOffset(CellRef& ref, std::uint32_t offset) {
    for (int k = 0; k < 4; ++k) ref.bytes[k] = static_cast<char>(offset >> (8 * k));
}

namespace {
void putLength(std::string& out, std::size_t n) {
    while (n >= 0x80) {
        out.push_back(static_cast<char>((n & 0x7F) | 0x80));
        n >>= 7;
    }
    out.push_back(static_cast<char>(n));
}

std::size_t lengthBytes(std::size_t n) {
    std::size_t bytes = 1;
    for (; n >= 0x80; n >>= 7) ++bytes;
    return bytes;
}

// The length before a cell's text in the store; p moves past it.
std::size_t getLength(const char*& p) {
    std::size_t n = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
        const auto b = static_cast<unsigned char>(*p++);
        n |= std::size_t{b & 0x7Fu} << shift;
        if (b < 0x80) break;
    }
    return n;
}
}  // namespace

std::string_view RecordTable::textOf(const CellRef& ref) const {
    if (isInline(ref)) return std::string_view(ref.bytes, static_cast<std::size_t>(ref.bytes[3] & 0x03));
    const std::uint32_t offset = offsetOf(ref);
    if (offset == 0) return {};
    const char* p = m_store.data() + offset;
    const std::size_t length = getLength(p);
    return std::string_view(p, length);
}

std::size_t RecordTable::storedBytes(const CellRef& ref) const {
    if (isInline(ref) || offsetOf(ref) == 0) return 0;
    const std::size_t length = textOf(ref).size();
    return lengthBytes(length) + length;
}

bool RecordTable::store(CellRef& ref, std::string_view text) {
    const std::size_t had = storedBytes(ref);
    if (text.size() <= kInlineBytes) {
        m_garbage += had;
        ref = CellRef{};
        if (text.empty()) return true;
        std::memcpy(ref.bytes, text.data(), text.size());
        ref.bytes[3] = static_cast<char>(0x80 | text.size());
        return true;
    }
    const std::size_t needs = lengthBytes(text.size()) + text.size();
    if (needs <= had) {
        // In place: a shorter text's length takes no more bytes.
        std::string head;
        putLength(head, text.size());
        char* to = m_store.data() + offsetOf(ref);
        std::memcpy(to, head.data(), head.size());
        std::memcpy(to + head.size(), text.data(), text.size());
        m_garbage += had - needs;
        return true;
    }
    m_garbage += had;
    ref = CellRef{};
    if (m_store.empty()) m_store.push_back('\0');  // offset 0 is the empty cell
    if (m_store.size() + needs > kMaxStoreBytes) return false;
    setOffset(ref, static_cast<std::uint32_t>(m_store.size()));
    putLength(m_store, text.size());
    m_store.append(text);
    return true;
}

void RecordTable::setCell(int row, int column, std::string_view text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return;
    // A text taken from this table (cell() of another cell) would dangle
    // once the store grows, or change as its cell is written.
    std::string copy;
    if (holds(text)) {
        copy.assign(text);
        text = copy;
    }
    if (text.size() > kMaxStoreBytes / 2) text = text.substr(0, kMaxStoreBytes / 2);

    const std::size_t index =
        static_cast<std::size_t>(m_rows[static_cast<std::size_t>(row)]) * m_columns.size() +
        static_cast<std::size_t>(column);
    if (!store(m_cells[index], text)) {
        compact();
        // Beyond 2 GiB of live text the cell cannot be stored.
        (void)store(m_cells[index], text);
    }
    compactIfWasteful();
}

std::string_view RecordTable::cell(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return {};
    return textOf(m_cells[static_cast<std::size_t>(m_rows[static_cast<std::size_t>(row)]) * m_columns.size() +
                          static_cast<std::size_t>(column)]);
}

std::string RecordTable::getCell(int row, int column, std::size_t bufferBytes) const {
    if (bufferBytes == 0) return {};
    const std::string_view text = cell(row, column);
    return std::string(text.substr(0, std::min(text.size(), bufferBytes - 1)));
}

void RecordTable::deleteRow(int index) {
    if (index < 0 || index >= rowCount()) return;
    const std::uint32_t slot = m_rows[static_cast<std::size_t>(index)];
    const std::size_t columns = m_columns.size();
    for (std::size_t c = 0; c < columns; ++c) {
        CellRef& ref = m_cells[static_cast<std::size_t>(slot) * columns + c];
        m_garbage += storedBytes(ref);
        ref = CellRef{};
    }
    m_rows.erase(m_rows.begin() + index);
    m_freeSlots.push_back(slot);
    compactIfWasteful();
}

void RecordTable::clear() {
    // Release the memory: a cleared table often stays empty for a long time.
    std::vector<std::uint32_t>().swap(m_rows);
    std::vector<CellRef>().swap(m_cells);
    std::vector<std::uint32_t>().swap(m_freeSlots);
    std::string().swap(m_store);
    m_garbage = 0;
}

void RecordTable::reserve(std::size_t moreRows, std::size_t moreTextBytes) {
    m_rows.reserve(m_rows.size() + moreRows);
    m_cells.reserve(m_cells.size() + moreRows * m_columns.size());
    m_store.reserve(std::min(kMaxStoreBytes, m_store.size() + moreTextBytes));
}

void RecordTable::shrinkToFit() {
    if (m_garbage != 0) compact();
    m_rows.shrink_to_fit();
    m_cells.shrink_to_fit();
    m_freeSlots.shrink_to_fit();
    m_store.shrink_to_fit();
}

int RecordTable::findRowByFirstCell(std::string_view text) const {
    if (m_columns.empty()) return -1;
    const int count = rowCount();
    for (int r = 0; r < count; ++r) {
        if (cell(r, 0) == text) return r;
    }
    return -1;
}

void RecordTable::sortByColumn(int column) {
    if (column < 0 || column >= columnCount() || rowCount() < 2) return;
    std::vector<SortKey> keys;
    keys.reserve(m_rows.size());
    for (int r = 0; r < rowCount(); ++r) keys.push_back(makeKey(cell(r, column)));
    quickSort(keys, m_rows, 0, rowCount() - 1);
}

void RecordTable::setU32(int row, int column, std::uint32_t value) {
    char buf[24];
    setCell(row, column, formatDecimal(buf, value));
}

void RecordTable::setI32(int row, int column, std::int32_t value) {
    char buf[24];
    setCell(row, column, formatDecimal(buf, value));
}

void RecordTable::setI64(int row, int column, std::int64_t value) {
    char buf[24];
    setCell(row, column, formatDecimal(buf, value));
}

void RecordTable::setU64(int row, int column, std::uint64_t value) {
    char buf[24];
    setCell(row, column, formatDecimal(buf, value));
}

std::int32_t RecordTable::getI32(int row, int column) const { return parseI32(cell(row, column)); }
std::uint32_t RecordTable::getU32(int row, int column) const { return parseU32(cell(row, column)); }
std::int64_t RecordTable::getI64(int row, int column) const { return parseI64(cell(row, column)); }
std::uint64_t RecordTable::getU64(int row, int column) const { return parseU64(cell(row, column)); }

std::size_t RecordTable::memoryBytes() const {
    std::size_t bytes = sizeof(*this);
    for (const Column& c : m_columns) bytes += sizeof(Column) + c.heading.capacity();
    bytes += m_rows.capacity() * sizeof(std::uint32_t);
    bytes += m_cells.capacity() * sizeof(CellRef);
    bytes += m_freeSlots.capacity() * sizeof(std::uint32_t);
    bytes += m_store.capacity();
    return bytes;
}

void RecordTable::compactIfWasteful() {
    if (m_garbage < kMinCompactGarbage || m_garbage * 2 <= m_store.size()) return;
    // Compacting visits every cell; wait until the garbage pays for that too.
    if (m_garbage < m_rows.size() * m_columns.size()) return;
    compact();
}

void RecordTable::compact() {
    std::string kept;
    kept.reserve(m_store.size() - std::min(m_garbage, m_store.size()));
    kept.push_back('\0');  // offset 0 is the empty cell
    const std::size_t columns = m_columns.size();
    // Live rows in table order: cells of a row end up next to each other.
    for (const std::uint32_t slot : m_rows) {
        for (std::size_t c = 0; c < columns; ++c) {
            CellRef& ref = m_cells[static_cast<std::size_t>(slot) * columns + c];
            if (isInline(ref) || offsetOf(ref) == 0) continue;
            const std::string_view text = textOf(ref);
            setOffset(ref, static_cast<std::uint32_t>(kept.size()));
            putLength(kept, text.size());
            kept.append(text);
        }
    }
    m_store = std::move(kept);
    m_garbage = 0;
}

}  // namespace qvx::records

#include "records/items.h"

#include <limits>

namespace qvx::records {

namespace {
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 in FILETIME

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
}  // namespace

std::uint32_t ntfsAttributeType(ItemAttribute attribute) {
    switch (attribute) {
    case ItemAttribute::Data: return 0x80;
    case ItemAttribute::IndexRoot: return 0x90;
    case ItemAttribute::None: break;
    }
    return 0;
}

std::int64_t fatToFileTime(std::uint16_t date, std::uint16_t time, std::uint32_t hundredths) {
    if (date == 0) return 0;
    const unsigned day = date & 0x1F;
    const unsigned month = (date >> 5) & 0x0F;
    const int year = 1980 + (date >> 9);
    // Out-of-range fields (month 0 or 13, day 0) are kept in range so that
    // the value stays a date; the texts still show them as stored.
    const unsigned m = month < 1 ? 1 : month > 12 ? 12 : month;
    const unsigned d = day < 1 ? 1 : day;
    const std::int64_t seconds = daysFromCivil(year, m, d) * 86400 + std::int64_t{(time >> 11) & 0x1F} * 3600 +
                                 std::int64_t{(time >> 5) & 0x3F} * 60 + std::int64_t{(time & 0x1F) * 2};
    return kUnixEpochTicks + seconds * kTicksPerSecond + std::int64_t{hundredths} * 100000;
}

std::int64_t fileTimeToUnixUtc(std::int64_t fileTime) {
    const std::int64_t d = fileTime - kUnixEpochTicks;
    return d >= 0 ? d / kTicksPerSecond : -((-d + kTicksPerSecond - 1) / kTicksPerSecond);
}

std::size_t ItemStore::add(Item item, std::string_view name, std::string_view streamName) {
    // The arena is addressed with 32-bit offsets; names beyond 4 GiB in all
    // are cut (no volume holds that much name text).
    const std::size_t room = std::numeric_limits<std::uint32_t>::max() - m_arena.size();
    item.nameOffset = static_cast<std::uint32_t>(m_arena.size());
    std::size_t length = 0;
    if (!streamName.empty()) {
        const std::size_t total = name.size() + 1 + streamName.size();
        if (total <= room && streamName.size() <= std::numeric_limits<std::uint16_t>::max()) {
            m_arena.append(name);
            m_arena.push_back(':');
            m_arena.append(streamName);
            length = total;
            item.streamLength = static_cast<std::uint16_t>(streamName.size());
            item.flags |= kItemStream;
        }
    } else if (name.size() <= room) {
        m_arena.append(name);
        length = name.size();
    }
    item.nameLength = static_cast<std::uint32_t>(length);
    m_items.push_back(item);
    m_indexed = false;
    return m_items.size() - 1;
}

void ItemStore::clear() {
    m_items.clear();
    m_items.shrink_to_fit();
    m_arena.clear();
    m_arena.shrink_to_fit();
    invalidateIndexes();
}

std::string_view ItemStore::name(std::size_t i) const {
    const Item& it = m_items[i];
    return std::string_view(m_arena).substr(it.nameOffset, it.nameLength);
}

std::string_view ItemStore::streamName(std::size_t i) const {
    const Item& it = m_items[i];
    if (!it.isStream()) return {};
    return name(i).substr(it.nameLength - it.streamLength);
}

std::string_view ItemStore::baseName(std::size_t i) const {
    const Item& it = m_items[i];
    if (!it.isStream()) return name(i);
    return name(i).substr(0, it.nameLength - it.streamLength - 1);
}

void ItemStore::invalidateIndexes() const {
    m_indexed = false;
    m_filesByParent.clear();
    m_folders.clear();
}

void ItemStore::buildIndexes() const {
    if (m_indexed) return;
    m_filesByParent.clear();
    m_folders.clear();
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const Item& it = m_items[i];
        if (it.isFolder()) m_folders.emplace(it.record, i);
        else m_filesByParent[it.parent].push_back(i);
    }
    m_indexed = true;
}

const std::vector<std::size_t>& ItemStore::filesOf(std::uint64_t parentId) const {
    static const std::vector<std::size_t> kEmpty;
    buildIndexes();
    auto it = m_filesByParent.find(parentId);
    return it == m_filesByParent.end() ? kEmpty : it->second;
}

std::size_t ItemStore::folderOf(std::uint64_t record) const {
    buildIndexes();
    auto it = m_folders.find(record);
    return it == m_folders.end() ? kNone : it->second;
}

std::size_t ItemStore::fileCount() const {
    std::size_t n = 0;
    for (const Item& it : m_items) n += it.isFolder() ? 0 : 1;
    return n;
}

std::size_t ItemStore::memoryBytes() const { return m_items.capacity() * sizeof(Item) + m_arena.capacity(); }

}  // namespace qvx::records

#include "records/items.h"

#include <algorithm>
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
    // A damaged record can hold any 64-bit value; the earliest ones would
    // overflow the subtraction below.
    if (fileTime < std::numeric_limits<std::int64_t>::min() + kUnixEpochTicks)
        fileTime = std::numeric_limits<std::int64_t>::min() + kUnixEpochTicks;
    const std::int64_t d = fileTime - kUnixEpochTicks;
    // Whole seconds, rounded down (before 1970 too).
    std::int64_t seconds = d / kTicksPerSecond;
    if (d % kTicksPerSecond < 0) --seconds;
    return seconds;
}

std::uint32_t ItemStore::storeName(std::string_view name, std::string_view streamName, std::size_t& length) {
    length = name.size() + (streamName.empty() ? 0 : 1 + streamName.size());
    // Names come from 255-unit fields; anything longer (a damaged session
    // log) is not kept rather than allowed to fill memory.
    if (length > kMaxNameBytes || (!streamName.empty() && streamName.size() > std::numeric_limits<std::uint16_t>::max())) {
        length = 0;
        return 0;
    }
    constexpr std::size_t kBlockBytes = std::size_t{1} << kArenaShift;
    constexpr std::size_t kMaxBlocks = std::size_t{1} << (32 - kArenaShift);
    if (m_arena.empty() || m_arenaUsed + length > kBlockBytes) {
        // The offsets are 32 bits: beyond 4 GiB of names in all, names are
        // not kept (no volume holds that much name text).
        if (m_arena.size() >= kMaxBlocks) {
            length = 0;
            return 0;
        }
        m_arena.push_back(std::make_unique<char[]>(kBlockBytes));
        m_arenaUsed = 0;
    }
    char* at = m_arena.back().get() + m_arenaUsed;
    std::copy(name.begin(), name.end(), at);
    if (!streamName.empty()) {
        at[name.size()] = ':';
        std::copy(streamName.begin(), streamName.end(), at + name.size() + 1);
    }
    const auto offset = static_cast<std::uint32_t>(((m_arena.size() - 1) << kArenaShift) | m_arenaUsed);
    m_arenaUsed += length;
    return offset;
}

std::size_t ItemStore::add(Item item, std::string_view name, std::string_view streamName) {
    std::size_t length = 0;
    item.nameOffset = storeName(name, streamName, length);
    item.nameLength = static_cast<std::uint32_t>(length);
    if (!streamName.empty() && length != 0) {
        item.streamLength = static_cast<std::uint16_t>(streamName.size());
        item.flags |= kItemStream;
    }
    if ((m_size & kBlockMask) == 0) m_blocks.push_back(std::make_unique<Item[]>(std::size_t{1} << kBlockShift));
    (*this)[m_size] = item;
    m_indexed = false;
    return m_size++;
}

void ItemStore::clear() {
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_size = 0;
    m_arena.clear();
    m_arena.shrink_to_fit();
    m_arenaUsed = 0;
    invalidateIndexes();
}

std::string_view ItemStore::name(std::size_t i) const {
    const Item& it = (*this)[i];
    if (it.nameLength == 0) return {};
    const char* block = m_arena[it.nameOffset >> kArenaShift].get();
    return {block + (it.nameOffset & ((std::uint32_t{1} << kArenaShift) - 1)), it.nameLength};
}

std::string_view ItemStore::streamName(std::size_t i) const {
    const Item& it = (*this)[i];
    if (!it.isStream()) return {};
    return name(i).substr(it.nameLength - it.streamLength);
}

std::string_view ItemStore::baseName(std::size_t i) const {
    const Item& it = (*this)[i];
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
    for (std::size_t i = 0; i < m_size; ++i) {
        const Item& it = (*this)[i];
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
    for (std::size_t i = 0; i < m_size; ++i) n += (*this)[i].isFolder() ? 0 : 1;
    return n;
}

std::size_t ItemStore::memoryBytes() const {
    return m_blocks.size() * (sizeof(Item) << kBlockShift) + (m_arena.size() << kArenaShift);
}

}  // namespace qvx::records

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

namespace {
bool sameTimes(const ItemTimes& a, const ItemTimes& b) {
    return a.created == b.created && a.modified == b.modified && a.changed == b.changed && a.accessed == b.accessed;
}
}  // namespace

std::uint32_t ItemStore::appendFull(const Item& item) {
    if ((m_fullSize & kBlockMask) == 0)
        m_full.push_back(std::make_unique<StoredItem[]>(std::size_t{1} << kBlockShift));
    StoredItem& s = full(m_fullSize);
    s = StoredItem{item.record,        item.parent,       item.times,          item.size,
                   item.allocatedSize, item.sector,       item.entryOffset,    item.attributes,
                   item.nameOffset,    item.nameLength,   {0, 0, 0, 0},        item.streamLength,
                   item.sequence,      item.parentSequence, item.flags,        item.attributeId,
                   item.fileNameId,    item.ownerId,      item.attribute,      item.fileNameUnits};
    const std::int64_t values[4] = {item.fileNameTimes.created, item.fileNameTimes.modified,
                                    item.fileNameTimes.changed, item.fileNameTimes.accessed};
    bool near = true;
    for (int k = 0; k < 4 && near; ++k) {
        std::int64_t d = 0;
        near = !__builtin_sub_overflow(values[k], item.times.created, &d) && d > INT32_MIN && d <= INT32_MAX;
        if (near) s.fileNameTimes[k] = static_cast<std::int32_t>(d);
    }
    if (!near) {
        s.fileNameTimes[0] = kFarTimes;
        s.fileNameTimes[1] = static_cast<std::int32_t>(m_fileNameTimes.size());
        m_fileNameTimes.push_back(item.fileNameTimes);
    }
    return m_fullSize++;
}

ItemTimes ItemStore::fileNameTimesOf(const StoredItem& s) const {
    if (s.fileNameTimes[0] == kFarTimes) return m_fileNameTimes[static_cast<std::uint32_t>(s.fileNameTimes[1])];
    // The differences were checked to fit when stored: adding them back
    // cannot overflow.
    const std::int64_t base = s.times.created;
    return {base + s.fileNameTimes[0], base + s.fileNameTimes[1], base + s.fileNameTimes[2], base + s.fileNameTimes[3]};
}

Item ItemStore::fullItem(std::uint32_t n) const {
    const StoredItem& s = full(n);
    Item it;
    it.record = s.record;
    it.parent = s.parent;
    it.times = s.times;
    it.fileNameTimes = fileNameTimesOf(s);
    it.size = s.size;
    it.allocatedSize = s.allocatedSize;
    it.sector = s.sector;
    it.entryOffset = s.entryOffset;
    it.attributes = s.attributes;
    it.nameOffset = s.nameOffset;
    it.nameLength = s.nameLength;
    it.streamLength = s.streamLength;
    it.sequence = s.sequence;
    it.parentSequence = s.parentSequence;
    it.flags = s.flags;
    it.attributeId = s.attributeId;
    it.fileNameId = s.fileNameId;
    it.attribute = s.attribute;
    it.fileNameUnits = s.fileNameUnits;
    it.ownerId = s.ownerId;
    return it;
}

std::string_view ItemStore::stored(std::uint32_t offset, std::size_t length) const {
    if (length == 0) return {};
    const char* block = m_arena[offset >> kArenaShift].get();
    return {block + (offset & ((std::uint32_t{1} << kArenaShift) - 1)), length};
}

std::uint32_t ItemStore::sharingBase(const Item& s, std::string_view name) const {
    for (const std::uint32_t n : m_recent) {
        if (n == kNoBase) continue;
        const StoredItem& b = full(n);
        if (b.record == s.record && b.parent == s.parent && b.sequence == s.sequence &&
            b.parentSequence == s.parentSequence && b.sector == s.sector && b.entryOffset == s.entryOffset &&
            b.attributes == s.attributes && b.fileNameId == s.fileNameId && b.fileNameUnits == s.fileNameUnits &&
            b.ownerId == s.ownerId && sameTimes(b.times, s.times) && sameTimes(fileNameTimesOf(b), s.fileNameTimes) &&
            stored(b.nameOffset, b.nameLength) == name)
            return n;
    }
    return kNoBase;
}

std::size_t ItemStore::add(Item item, std::string_view name, std::string_view streamName) {
    item.flags &= static_cast<std::uint16_t>(~kSharedBase);
    if ((m_size & kBlockMask) == 0) m_slots.push_back(std::make_unique<std::uint32_t[]>(std::size_t{1} << kBlockShift));
    const std::size_t total = name.size() + 1 + streamName.size();
    if (!streamName.empty() && total <= kMaxNameBytes && streamName.size() <= std::numeric_limits<std::uint16_t>::max() &&
        m_sharedSize < kSharedSlot - 1 && m_size < kNoBase) {
        const std::uint32_t base = sharingBase(item, name);
        std::size_t length = 0;
        const std::uint32_t offset = base == kNoBase ? 0 : storeName(streamName, {}, length);
        if (base != kNoBase && length == streamName.size()) {
            if ((m_sharedSize & kBlockMask) == 0)
                m_shared.push_back(std::make_unique<SharedStream[]>(std::size_t{1} << kBlockShift));
            if (m_sharedSize != 0 && shared(m_sharedSize - 1).base > base) m_sharedInBaseOrder = false;
            m_shared[m_sharedSize >> kBlockShift][m_sharedSize & kBlockMask] = SharedStream{
                static_cast<std::uint32_t>(item.size),
                static_cast<std::uint32_t>(item.size >> 32),
                static_cast<std::uint32_t>(item.allocatedSize),
                static_cast<std::uint32_t>(item.allocatedSize >> 32),
                base,
                static_cast<std::uint32_t>(m_size),
                offset,
                static_cast<std::uint16_t>(streamName.size()),
                static_cast<std::uint16_t>(item.flags | kItemStream),
                item.attributeId,
                item.attribute};
            full(base).flags |= kSharedBase;
            slot(m_size) = kSharedSlot | m_sharedSize++;
            m_indexed = false;
            return m_size++;
        }
    }
    std::size_t length = 0;
    item.nameOffset = storeName(name, streamName, length);
    item.nameLength = static_cast<std::uint32_t>(length);
    if (!streamName.empty() && length != 0) {
        item.streamLength = static_cast<std::uint16_t>(streamName.size());
        item.flags |= kItemStream;
    }
    const std::uint32_t n = appendFull(item);
    slot(m_size) = n;
    std::copy_backward(m_recent, m_recent + kRecentFull - 1, m_recent + kRecentFull);
    m_recent[0] = n;
    m_indexed = false;
    return m_size++;
}

Item ItemStore::sharedItem(const SharedStream& s) const {
    Item it = fullItem(s.base);
    it.size = (std::uint64_t{s.sizeHigh} << 32) | s.sizeLow;
    it.allocatedSize = (std::uint64_t{s.allocatedHigh} << 32) | s.allocatedLow;
    it.nameOffset = s.nameOffset;
    it.nameLength = it.nameLength + 1u + s.streamLength;
    it.streamLength = s.streamLength;
    it.flags = s.flags;
    it.attributeId = s.attributeId;
    it.attribute = s.attribute;
    return it;
}

Item ItemStore::operator[](std::size_t i) const {
    const std::uint32_t n = slot(i);
    if ((n & kSharedSlot) == 0) {
        Item it = fullItem(n);
        it.flags &= static_cast<std::uint16_t>(~kSharedBase);
        return it;
    }
    return sharedItem(shared(n & ~kSharedSlot));
}

Item ItemStore::expanded(std::uint32_t k) {
    const SharedStream st = shared(k);
    Item it = sharedItem(st);
    const StoredItem& b = full(st.base);
    const std::string base(stored(b.nameOffset, b.nameLength));
    const std::string own(stored(st.nameOffset, st.streamLength));
    std::size_t length = 0;
    it.nameOffset = storeName(base, own, length);
    it.nameLength = static_cast<std::uint32_t>(length);
    it.streamLength = static_cast<std::uint16_t>(own.size());
    if (length == 0) it.flags &= static_cast<std::uint16_t>(~kItemStream);
    return it;
}

ItemStore::StoredItem& ItemStore::own(std::size_t i) {
    std::uint32_t n = slot(i);
    if ((n & kSharedSlot) != 0) {
        n = appendFull(expanded(n & ~kSharedSlot));
        slot(i) = n;
    }
    if ((full(n).flags & kSharedBase) != 0) {
        // Streams that read their fields from this item get their own
        // before it changes.
        std::uint32_t first = 0;
        std::uint32_t last = m_sharedSize;
        if (m_sharedInBaseOrder) {
            std::uint32_t lo = 0, hi = m_sharedSize;
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                if (shared(mid).base < n) lo = mid + 1;
                else hi = mid;
            }
            first = lo;
        }
        for (std::uint32_t k = first; k < last; ++k) {
            const SharedStream& st = shared(k);
            if (m_sharedInBaseOrder && st.base != n) break;
            if (st.base == n && slot(st.item) == (kSharedSlot | k)) slot(st.item) = appendFull(expanded(k));
        }
        full(n).flags &= static_cast<std::uint16_t>(~kSharedBase);
    }
    // Streams added later are not to share an item that may change.
    for (std::uint32_t& r : m_recent)
        if (r == n) r = kNoBase;
    return full(n);
}

void ItemStore::setParent(std::size_t i, std::uint64_t parent) {
    if ((*this)[i].parent == parent) return;
    own(i).parent = parent;
    invalidateIndexes();
}

void ItemStore::setFlags(std::size_t i, std::uint16_t flags) {
    flags &= static_cast<std::uint16_t>(~kSharedBase);
    if ((*this)[i].flags == flags) return;
    own(i).flags = flags;
    invalidateIndexes();
}

void ItemStore::clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_size = 0;
    m_full.clear();
    m_full.shrink_to_fit();
    m_fullSize = 0;
    m_fileNameTimes.clear();
    m_fileNameTimes.shrink_to_fit();
    m_shared.clear();
    m_shared.shrink_to_fit();
    m_sharedSize = 0;
    m_sharedInBaseOrder = true;
    std::fill(std::begin(m_recent), std::end(m_recent), kNoBase);
    m_arena.clear();
    m_arena.shrink_to_fit();
    m_arenaUsed = 0;
    invalidateIndexes();
}

std::string ItemStore::name(std::size_t i) const {
    const std::uint32_t n = slot(i);
    if ((n & kSharedSlot) == 0) return std::string(stored(full(n).nameOffset, full(n).nameLength));
    const SharedStream& st = shared(n & ~kSharedSlot);
    const StoredItem& b = full(st.base);
    std::string out;
    out.reserve(b.nameLength + 1u + st.streamLength);
    out += stored(b.nameOffset, b.nameLength);
    out += ':';
    out += stored(st.nameOffset, st.streamLength);
    return out;
}

std::string_view ItemStore::streamName(std::size_t i) const {
    const std::uint32_t n = slot(i);
    if ((n & kSharedSlot) != 0) {
        const SharedStream& st = shared(n & ~kSharedSlot);
        return stored(st.nameOffset, st.streamLength);
    }
    const StoredItem& it = full(n);
    if (!it.isStream()) return {};
    return stored(it.nameOffset, it.nameLength).substr(it.nameLength - it.streamLength);
}

std::string_view ItemStore::baseName(std::size_t i) const {
    const std::uint32_t n = slot(i);
    if ((n & kSharedSlot) != 0) {
        const StoredItem& b = full(shared(n & ~kSharedSlot).base);
        return stored(b.nameOffset, b.nameLength);
    }
    const StoredItem& it = full(n);
    if (!it.isStream()) return stored(it.nameOffset, it.nameLength);
    return stored(it.nameOffset, it.nameLength).substr(0, it.nameLength - it.streamLength - 1);
}

void ItemStore::invalidateIndexes() const {
    m_indexed = false;
    m_fileIndexes.clear();
    m_fileIndexes.shrink_to_fit();
    m_filesByParent.clear();
    m_folders.clear();
}

void ItemStore::buildIndexes() const {
    if (m_indexed) return;
    invalidateIndexes();
    // Counted first, then placed: the index takes four bytes per file and
    // no list per folder.
    std::size_t files = 0;
    for (std::size_t i = 0; i < m_size; ++i) {
        const Item it = (*this)[i];
        if (it.isFolder()) {
            m_folders.emplace(it.record, i);
        } else {
            ++m_filesByParent[it.parent].count;
            ++files;
        }
    }
    std::uint32_t start = 0;
    for (auto& [parent, group] : m_filesByParent) {
        group.start = start;
        start += group.count;
        group.count = 0;
    }
    m_fileIndexes.resize(files);
    for (std::size_t i = 0; i < m_size; ++i) {
        const Item it = (*this)[i];
        if (it.isFolder()) continue;
        FileGroup& group = m_filesByParent[it.parent];
        m_fileIndexes[group.start + group.count++] = static_cast<std::uint32_t>(i);
    }
    m_indexed = true;
}

std::span<const std::uint32_t> ItemStore::filesOf(std::uint64_t parentId) const {
    buildIndexes();
    auto it = m_filesByParent.find(parentId);
    if (it == m_filesByParent.end()) return {};
    return std::span<const std::uint32_t>(m_fileIndexes).subspan(it->second.start, it->second.count);
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
    return m_slots.size() * (sizeof(std::uint32_t) << kBlockShift) + m_full.size() * (sizeof(StoredItem) << kBlockShift) +
           m_fileNameTimes.capacity() * sizeof(ItemTimes) +
           m_shared.size() * (sizeof(SharedStream) << kBlockShift) + (m_arena.size() << kArenaShift);
}

}  // namespace qvx::records

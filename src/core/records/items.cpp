#include "records/items.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <atomic>
#include <unordered_map>
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

namespace {

// Fields of an encoded item, in the order they follow its mask: those most
// items store come first, so the mask takes few bytes (seven fields to a
// byte). A stream reading from its file stores its size, allocated size,
// attribute id and name alone: those come first, and its mask takes one
// byte; a file's usual fields fit in two.
enum Field : unsigned {
    kSize, kAllocated, kAttributeId, kStreamName, kRecord, kParent, kFlags,
    kBaseName, kCreated, kSector, kModified, kChanged, kFnModified, kFnChanged,
    kFileNameUnits, kFileNameId, kAttribute, kAttributes, kSequence, kParentSequence, kFnCreated,
    kFnAccessed, kAccessed, kOwnerId, kEntryOffset,
};
// A brief reads the fields up to the flags, or the sector, in mask order:
// the stream name must come first (it decides the stream flag).
static_assert(kStreamName < kFlags && kFlags < kSector && kEntryOffset < 32);

// The stream flag follows from the stream name; flags are stored with it
// taken out again for items that have one, so that a stream's flags and its
// file's are the same number.
std::uint16_t storedFlags(std::uint16_t flags, std::string_view stream) {
    return stream.empty() ? flags : static_cast<std::uint16_t>(flags ^ kItemStream);
}

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// Bytes two names share at their start, and at their end; compared eight
// at a time, as names of one family share most of theirs.
std::size_t commonPrefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; k + 8 <= n; k += 8) {
            std::uint64_t x = 0, y = 0;
            std::memcpy(&x, a.data() + k, 8);
            std::memcpy(&y, b.data() + k, 8);
            if (x != y) return k + static_cast<std::size_t>(std::countr_zero(x ^ y) / 8);
        }
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
}

std::size_t commonSuffix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    const char* ea = a.data() + a.size();
    const char* eb = b.data() + b.size();
    std::size_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; k + 8 <= n; k += 8) {
            std::uint64_t x = 0, y = 0;
            std::memcpy(&x, ea - k - 8, 8);
            std::memcpy(&y, eb - k - 8, 8);
            if (x != y) return k + static_cast<std::size_t>(std::countl_zero(x ^ y) / 8);
        }
    }
    while (k < n && ea[-1 - static_cast<std::ptrdiff_t>(k)] == eb[-1 - static_cast<std::ptrdiff_t>(k)]) ++k;
    return k;
}

std::size_t varintBytes(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

std::uint64_t getVarint(const std::uint8_t*& p) {
    std::uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
        const std::uint8_t b = *p++;
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if (b < 0x80) return v;
    }
}

// A value (a time, a record number, a sector) as its difference from a
// reference, folded so that small differences either way are small
// numbers. The arithmetic wraps: any two 64-bit values, a damaged record's
// extremes included, read back exactly.
std::uint64_t foldedDifference(std::int64_t value, std::int64_t reference) {
    const std::uint64_t d = static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(reference);
    return (d << 1) ^ (0 - (d >> 63));
}

std::int64_t unfolded(std::uint64_t folded, std::int64_t reference) {
    const std::uint64_t d = (folded >> 1) ^ (0 - (folded & 1));
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(reference) + d);
}

// The stored name field after its first number: a name stored whole, or
// the bytes put between the start and end kept from another name (the
// base's when distance is 0). p moves past it.
struct NameCode {
    bool whole = false;
    std::size_t distance = 0, front = 0, back = 0;
    std::string_view bytes;
};

NameCode nameCodeAfter(std::uint64_t code, const std::uint8_t*& p) {
    NameCode n;
    n.whole = (code & 1) == 0;
    std::size_t length = static_cast<std::size_t>(code >> 1);
    if (!n.whole) {
        if ((code & 2) != 0) n.distance = static_cast<std::size_t>(getVarint(p));
        n.front = static_cast<std::size_t>(getVarint(p));
        n.back = static_cast<std::size_t>(getVarint(p));
        length = static_cast<std::size_t>(code >> 2);
    }
    n.bytes = std::string_view(reinterpret_cast<const char*>(p), length);
    p += length;
    return n;
}

std::uint64_t unfoldedNear(std::uint64_t folded, std::uint64_t reference) {
    return static_cast<std::uint64_t>(unfolded(folded, static_cast<std::int64_t>(reference)));
}

}  // namespace

std::size_t ItemStore::baseDistance(const std::uint8_t*& p) {
    const std::uint8_t head = *p++;
    if ((head & kDerived) == 0) return 0;
    const std::size_t near = head >> 2;
    return near != 0 ? near : getVarint(p);
}

void ItemStore::setSlot(std::size_t i, std::uint32_t offset) {
    const std::size_t group = i >> kGroupShift;
    if (group == m_groupStart.size()) m_groupStart.push_back(offset);
    const std::uint32_t start = m_groupStart[group];
    std::uint16_t& near = m_slots[i >> kSlotShift][i & kSlotMask];
    if (offset >= start && offset - start < kFar) {
        near = static_cast<std::uint16_t>(offset - start);
    } else {
        near = kFar;
        const std::size_t page = i >> kFarPageShift;
        if (page >= m_farSlots.size()) m_farSlots.resize(page + 1);
        if (!m_farSlots[page]) m_farSlots[page] = std::make_unique_for_overwrite<std::uint32_t[]>(kFarPageItems);
        m_farSlots[page][i & kFarPageMask] = offset;
    }
}

std::uint8_t* ItemStore::at(std::uint32_t offset) const {
    return m_arena[offset >> kArenaShift].get() + (offset & ((std::uint32_t{1} << kArenaShift) - 1));
}

std::uint32_t ItemStore::encode(const Item& item, std::string_view base, std::string_view stream,
                                std::size_t baseIndex, bool withNames) {
    View was{};
    if (baseIndex != kNone) was = view(baseIndex);  // a copy: encoding views others
    const Item& b = was.item;
    std::uint32_t mask = 0;
    std::string& body = m_scratch;
    body.clear();
    auto number = [&](Field f, std::uint64_t value, std::uint64_t old) {
        if (value == old) return;
        mask |= 1u << f;
        putVarint(body, value);
    };
    // A time other than the creation time is expected to lie as far from
    // the item's creation time as the base's lies from the base's (the same,
    // for most files, and for an item kept whole: at its creation time); it
    // is stored only when it does not, as its difference from that.
    const std::int64_t created = item.times.created;
    auto time = [&](Field f, std::int64_t value, std::int64_t old) {
        const std::int64_t expected = unfolded(foldedDifference(old, b.times.created), created);
        if (value == expected) return;
        mask |= 1u << f;
        putVarint(body, foldedDifference(value, expected));
    };
    // Record, parent and location are kept as differences from the base's:
    // neighbouring items of one folder differ in them by little.
    auto near = [&](Field f, std::uint64_t value, std::uint64_t old) {
        if (value == old) return;
        mask |= 1u << f;
        putVarint(body, foldedDifference(static_cast<std::int64_t>(value), static_cast<std::int64_t>(old)));
    };
    number(kSize, item.size, b.size);
    // The allocated size mostly lies a little above the size (rounded up
    // to a cluster, or to eight bytes for a resident value): it is stored as
    // that difference (even numbers) when that is shorter, else as itself
    // plus one (odd numbers); 1 is followed by a value too large for either.
    if (item.allocatedSize != b.allocatedSize) {
        mask |= 1u << kAllocated;
        const std::uint64_t allocated = item.allocatedSize;
        const std::uint64_t relative =
            foldedDifference(static_cast<std::int64_t>(allocated), static_cast<std::int64_t>(item.size));
        constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
        if (relative < allocated && relative < kHalf) {
            putVarint(body, relative << 1);
        } else if (allocated < kHalf - 1) {
            putVarint(body, (allocated + 1) << 1 | 1);
        } else {
            putVarint(body, 1);
            putVarint(body, allocated);
        }
    }
    number(kAttributeId, item.attributeId, b.attributeId);
    // A stream name: the number of a kept name (odd), or its length (even)
    // and its bytes.
    if (stream != was.stream) {
        mask |= 1u << kStreamName;
        const std::uint64_t code = streamNameCode(stream);
        if (code != kNoStreamCode) {
            putVarint(body, code);
        } else {
            putVarint(body, std::uint64_t{stream.size()} << 1);
            body.append(stream);
        }
    }
    near(kRecord, item.record, b.record);
    near(kParent, item.parent, b.parent);
    number(kFlags, storedFlags(item.flags, stream), storedFlags(b.flags, was.stream));
    // A name is stored as the bytes it does not share with another name at
    // its start and end: names of one folder, written one after the other,
    // often differ only in a number or a word. The other name is the base's
    // or, while adding, one of the last distinct names added, whichever
    // leaves the fewest bytes. The first number is then the length of those
    // bytes times four, plus one (against the base's name) or three
    // (against an earlier item's, whose distance back follows); the lengths
    // shared at the start and at the end come next. A name stored whole is
    // its length times two, and its bytes.
    const unsigned baseSteps =
        baseIndex == kNone ? 0u : m_nameSteps[baseIndex % (kMaxBaseDistance + 1)];
    m_lastNameSteps = baseIndex == kNone ? 0 : static_cast<std::uint8_t>(baseSteps + 1);
    if (base != was.base) {
        mask |= 1u << kBaseName;
        struct Shared {
            std::size_t front = 0, back = 0, cost = 0;
        };
        auto shared = [&](std::string_view old, std::size_t distance) {
            Shared s;
            s.front = commonPrefix(base, old);
            s.back = commonSuffix(base.substr(s.front), old.substr(s.front));
            const std::size_t middle = base.size() - s.front - s.back;
            s.cost = varintBytes(middle << 2) + varintBytes(s.front) + varintBytes(s.back) + middle +
                     (distance == 0 ? 0 : varintBytes(distance));
            return s;
        };
        const std::size_t wholeCost = varintBytes(std::uint64_t{base.size()} << 1) + base.size();
        std::size_t bestDistance = 0;
        Shared best;
        best.cost = wholeCost;
        if (baseIndex != kNone && baseSteps < kMaxNameSteps) {
            const Shared s = shared(was.base, 0);
            if (s.front + s.back > 2 && s.cost < best.cost) best = s;
        }
        for (std::size_t k = 0; withNames && k < kNameCandidates; ++k) {
            const NameCandidate& c = m_nameCandidates[k];
            if (c.index == kNone || c.index == baseIndex || m_size - c.index > kMaxBaseDistance) continue;
            if (m_nameSteps[c.index % (kMaxBaseDistance + 1)] >= kMaxNameSteps) continue;
            const Shared s = shared(c.name, m_size - c.index);
            if (s.front + s.back > 2 && s.cost < best.cost) {
                best = s;
                bestDistance = m_size - c.index;
            }
        }
        if (best.cost < wholeCost) {
            const std::string_view middle = base.substr(best.front, base.size() - best.front - best.back);
            putVarint(body, std::uint64_t{middle.size()} << 2 | (bestDistance == 0 ? 1 : 3));
            if (bestDistance != 0) putVarint(body, bestDistance);
            putVarint(body, best.front);
            putVarint(body, best.back);
            body.append(middle);
            const unsigned from =
                bestDistance == 0 ? baseSteps : m_nameSteps[(m_size - bestDistance) % (kMaxBaseDistance + 1)];
            m_lastNameSteps = static_cast<std::uint8_t>(from + 1);
        } else {
            putVarint(body, std::uint64_t{base.size()} << 1);
            body.append(base);
            m_lastNameSteps = 0;
        }
    }
    if (created != b.times.created) {
        mask |= 1u << kCreated;
        putVarint(body, foldedDifference(created, b.times.created));
    }
    near(kSector, item.sector, b.sector);
    time(kModified, item.times.modified, b.times.modified);
    time(kChanged, item.times.changed, b.times.changed);
    time(kFnModified, item.fileNameTimes.modified, b.fileNameTimes.modified);
    time(kFnChanged, item.fileNameTimes.changed, b.fileNameTimes.changed);
    number(kFileNameUnits, item.fileNameUnits, b.fileNameUnits);
    number(kFileNameId, item.fileNameId, b.fileNameId);
    number(kAttribute, static_cast<std::uint8_t>(item.attribute), static_cast<std::uint8_t>(b.attribute));
    number(kAttributes, item.attributes, b.attributes);
    number(kSequence, item.sequence, b.sequence);
    number(kParentSequence, item.parentSequence, b.parentSequence);
    time(kFnCreated, item.fileNameTimes.created, b.fileNameTimes.created);
    time(kFnAccessed, item.fileNameTimes.accessed, b.fileNameTimes.accessed);
    time(kAccessed, item.times.accessed, b.times.accessed);
    number(kOwnerId, item.ownerId, b.ownerId);
    number(kEntryOffset, item.entryOffset, b.entryOffset);

    // The header byte: kDerived, kIsBase, and in its upper six bits the
    // distance back to the base when it is below 64 (else it follows).
    std::string head;
    const std::size_t distance = baseIndex == kNone ? 0 : m_size - baseIndex;
    if (distance == 0) head.push_back(0);
    else if (distance < 64) head.push_back(static_cast<char>(kDerived | distance << 2));
    else {
        head.push_back(static_cast<char>(kDerived));
        putVarint(head, distance);
    }
    putVarint(head, mask);
    // Past 4 GiB in all, an item is kept as the empty one at offset 0.
    const std::uint32_t offset = place(head, body);
    return offset == kNoOffset ? 0 : offset;
}

std::uint32_t ItemStore::place(std::string_view first, std::string_view second) {
    const std::size_t length = first.size() + second.size();
    constexpr std::size_t kBlockBytes = std::size_t{1} << kArenaShift;
    constexpr std::size_t kMaxBlocks = std::size_t{1} << (32 - kArenaShift);
    if (m_arenaUsed + length > kBlockBytes) {
        // Offsets are 32 bits: no volume comes near 4 GiB of items.
        if (m_arena.size() >= kMaxBlocks) return kNoOffset;
        m_arena.push_back(util::makeHugeBlock(kBlockBytes));
        m_arenaUsed = 0;
    }
    std::uint8_t* to = m_arena.back().get() + m_arenaUsed;
    std::copy(first.begin(), first.end(), to);
    std::copy(second.begin(), second.end(), to + first.size());
    const auto offset = static_cast<std::uint32_t>(((m_arena.size() - 1) << kArenaShift) | m_arenaUsed);
    m_arenaUsed += length;
    return offset;
}

std::uint64_t ItemStore::streamNameCode(std::string_view stream) {
    // Alternate streams of many files share a few names (Zone.Identifier,
    // a program's own): the first kMaxStreamNames distinct names are kept
    // once, and an item names one by its number.
    if (stream.empty()) return 0;
    if (const auto it = m_streamIds.find(stream); it != m_streamIds.end()) return std::uint64_t{it->second} << 1 | 1;
    if (m_streamNames.size() >= kMaxStreamNames) return kNoStreamCode;
    const std::uint32_t offset = place(stream, {});
    if (offset == kNoOffset) return kNoStreamCode;
    const std::string_view kept(reinterpret_cast<const char*>(at(offset)), stream.size());
    const auto id = static_cast<std::uint32_t>(m_streamNames.size());
    m_streamNames.push_back(kept);
    m_streamIds.emplace(kept, id);
    return std::uint64_t{id} << 1 | 1;
}

void ItemStore::decodeInto(std::size_t index, View& v, std::string& name, std::string& spare) const {
    const std::uint8_t* p = at(slot(index));
    (void)baseDistance(p);
    const auto mask = static_cast<std::uint32_t>(getVarint(p));
    Item& it = v.item;
    auto has = [mask](Field f) { return (mask & (1u << f)) != 0; };
    auto near = [&p](std::uint64_t old) { return unfoldedNear(getVarint(p), old); };
    // Flags are kept as stored until the item's own stream name is known.
    std::uint16_t flags = storedFlags(it.flags, v.stream);
    if (has(kSize)) it.size = getVarint(p);
    if (has(kAllocated)) {
        const std::uint64_t stored = getVarint(p);
        if ((stored & 1) == 0) it.allocatedSize = unfoldedNear(stored >> 1, it.size);
        else it.allocatedSize = stored == 1 ? getVarint(p) : (stored >> 1) - 1;
    }
    if (has(kAttributeId)) it.attributeId = static_cast<std::uint16_t>(getVarint(p));
    if (has(kStreamName)) {
        const std::uint64_t code = getVarint(p);
        if ((code & 1) != 0) {
            v.stream = m_streamNames[static_cast<std::size_t>(code >> 1)];
        } else {
            v.stream = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(code >> 1));
            p += code >> 1;
        }
    }
    if (has(kRecord)) it.record = near(it.record);
    if (has(kParent)) it.parent = near(it.parent);
    if (has(kFlags)) flags = static_cast<std::uint16_t>(getVarint(p));
    it.flags = storedFlags(flags, v.stream);
    if (has(kBaseName)) {
        const NameCode code = nameCodeAfter(getVarint(p), p);
        if (code.whole) {
            v.base = code.bytes;
        } else {
            // Put together beside the other name: the base's, which may lie
            // in name, or an earlier item's.
            thread_local std::string other;
            std::string_view old = v.base;
            if (code.distance != 0) {
                if (code.distance <= index) resolveName(index - code.distance, other);
                else other.clear();
                old = other;
            }
            const std::size_t front = std::min(code.front, old.size());
            const std::size_t back = std::min(code.back, old.size() - front);
            spare.assign(old.substr(0, front));
            spare.append(code.bytes);
            spare.append(old.substr(old.size() - back));
            name.swap(spare);
            v.base = name;
        }
    }
    const std::int64_t baseCreated = it.times.created;
    if (has(kCreated)) it.times.created = unfolded(getVarint(p), baseCreated);
    const std::int64_t created = it.times.created;
    if (has(kSector)) it.sector = near(it.sector);
    // Every other time: where the base's lies from its creation time, moved
    // by what the item stores.
    auto time = [&](Field f, std::int64_t& t) {
        const std::int64_t expected = unfolded(foldedDifference(t, baseCreated), created);
        t = has(f) ? unfolded(getVarint(p), expected) : expected;
    };
    time(kModified, it.times.modified);
    time(kChanged, it.times.changed);
    time(kFnModified, it.fileNameTimes.modified);
    time(kFnChanged, it.fileNameTimes.changed);
    if (has(kFileNameUnits)) it.fileNameUnits = static_cast<std::uint8_t>(getVarint(p));
    if (has(kFileNameId)) it.fileNameId = static_cast<std::uint16_t>(getVarint(p));
    if (has(kAttribute)) it.attribute = static_cast<ItemAttribute>(getVarint(p));
    if (has(kAttributes)) it.attributes = static_cast<std::uint32_t>(getVarint(p));
    if (has(kSequence)) it.sequence = static_cast<std::uint16_t>(getVarint(p));
    if (has(kParentSequence)) it.parentSequence = static_cast<std::uint16_t>(getVarint(p));
    time(kFnCreated, it.fileNameTimes.created);
    time(kFnAccessed, it.fileNameTimes.accessed);
    time(kAccessed, it.times.accessed);
    if (has(kOwnerId)) it.ownerId = static_cast<std::uint16_t>(getVarint(p));
    if (has(kEntryOffset)) it.entryOffset = static_cast<std::uint32_t>(getVarint(p));
}

void ItemStore::resolveName(std::size_t i, std::string& out) const {
    // Names put together here are kept by item, like decoded items: the
    // names of a family are mostly stored each against the one before, and
    // listing them in turn then takes one step each.
    // The steps from the item to a name known whole, each the bytes put
    // between the start and end kept from the name before it.
    struct Step {
        std::string_view middle;
        std::size_t front = 0, back = 0;
        std::size_t item = 0;
    };
    Step steps[kNameStepLimit + 2];
    std::size_t count = 0;
    std::string_view whole;
    // Every step, to a base's name or another's, is one of the item's
    // name steps; the encoder kept them within kNameStepLimit.
    for (std::size_t k = i, hops = 0; hops <= kNameStepLimit && k < m_size; ++hops) {
        // An item listed just before is mostly still decoded.
        if (const CachedView& c = cachedView(k); holds(c, k)) {
            whole = c.v.base;
            break;
        }
        if (const KeptName& n = keptName(k); holds(n, k)) {
            whole = n.name;
            break;
        }
        const std::uint8_t* p = at(slot(k));
        const std::size_t distance = baseDistance(p);
        const auto mask = static_cast<std::uint32_t>(getVarint(p));
        for (unsigned f = 0; f < kBaseName; ++f) {
            if ((mask & (1u << f)) == 0) continue;
            const std::uint64_t value = getVarint(p);
            if (f == kStreamName && (value & 1) == 0) p += value >> 1;
            if (f == kAllocated && value == 1) (void)getVarint(p);
        }
        if ((mask & (1u << kBaseName)) == 0) {
            // Not stored: the base's, or none.
            if (distance == 0 || distance > k) break;
            k -= distance;
            continue;
        }
        const NameCode code = nameCodeAfter(getVarint(p), p);
        if (code.whole) {
            whole = code.bytes;
            break;
        }
        const std::size_t from = code.distance != 0 ? code.distance : distance;
        steps[count++] = {code.bytes, code.front, code.back, k};
        if (from == 0 || from > k) break;
        k -= from;
    }
    out.assign(whole);
    while (count != 0) {
        const Step& step = steps[--count];
        const std::size_t front = std::min(step.front, out.size());
        const std::size_t back = std::min(step.back, out.size() - front);
        KeptName& n = ItemStore::keptName(step.item);
        n.store = nullptr;
        n.name.assign(out, 0, front);
        n.name.append(step.middle);
        n.name.append(out, out.size() - back, back);
        out.assign(n.name);
        n.store = this;
        n.generation = m_generation;
        n.index = step.item;
    }
}

ItemStore::KeptName& ItemStore::keptName(std::size_t i) {
    constexpr std::size_t kKept = 256;
    thread_local KeptName kept[kKept];
    return kept[i % kKept];
}

ItemStore::CachedView& ItemStore::cachedView(std::size_t i) {
    constexpr std::size_t kCached = 256;
    static_assert(kCached > kMaxBaseDistance, "an item and the ones it reads from have slots of their own");
    thread_local CachedView caches[kCached];
    return caches[i % kCached];
}

std::uint64_t ItemStore::nextGeneration() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

const ItemStore::View& ItemStore::view(std::size_t i) const {
    CachedView& cache = cachedView(i);
    if (holds(cache, i)) return cache.v;
    cache.store = nullptr;
    View& v = cache.v;
    v = View{};
    // The item's bases, nearest first: kMaxDepth steps back at most. A
    // base decoded already (a stream's file, listed just before it) is taken
    // as it is, and only what comes after it is read; a name it put together
    // is copied, as its slot may be reused while this one is kept.
    std::size_t chain[kMaxDepth + 1];
    std::size_t length = 0;
    for (std::size_t k = i;;) {
        if (k != i) {
            if (const CachedView& known = cachedView(k); holds(known, k)) {
                v = known.v;
                if (!known.name.empty() && v.base.data() == known.name.data()) {
                    cache.name.assign(known.name);
                    v.base = cache.name;
                }
                break;
            }
        }
        chain[length++] = k;
        const std::uint8_t* p = at(slot(k));
        const std::size_t distance = baseDistance(p);
        if (distance == 0 || length > kMaxDepth) break;
        k -= distance;
    }
    while (length != 0) decodeInto(chain[--length], v, cache.name, cache.spare);
    v.item.nameOffset = 0;
    v.item.streamLength = static_cast<std::uint16_t>(v.stream.size());
    v.item.nameLength = static_cast<std::uint32_t>(v.base.size() + (v.stream.empty() ? 0 : 1 + v.stream.size()));
    cache.store = this;
    cache.generation = m_generation;
    cache.index = i;
    return v;
}

template <bool kWithSector>
void ItemStore::briefInto(const std::uint8_t* p, Brief& b, bool& stream) {
    (void)baseDistance(p);
    const auto mask = static_cast<std::uint32_t>(getVarint(p));
    std::uint16_t flags = stream ? static_cast<std::uint16_t>(b.flags ^ kItemStream) : b.flags;
    // Every field up to the sector is one number, but the stream name and
    // the base name, which are a length and bytes, and an allocated size too
    // large to be stored in one.
    constexpr unsigned kLast = kWithSector ? kSector : kFlags;
    for (unsigned f = 0; f <= kLast; ++f) {
        if ((mask & (1u << f)) == 0) continue;
        const std::uint64_t value = getVarint(p);
        switch (f) {
        case kStreamName:
            // A kept name (odd) is never empty.
            if ((value & 1) == 0) p += value >> 1;
            stream = value != 0;
            break;
        case kAllocated:
            if (value == 1) (void)getVarint(p);  // the escape: a second number follows
            break;
        case kRecord: b.record = unfoldedNear(value, b.record); break;
        case kParent: b.parent = unfoldedNear(value, b.parent); break;
        case kFlags: flags = static_cast<std::uint16_t>(value); break;
        case kBaseName: (void)nameCodeAfter(value, p); break;
        case kSector: b.sector = unfoldedNear(value, b.sector); break;
        default: break;
        }
    }
    b.flags = stream ? static_cast<std::uint16_t>(flags ^ kItemStream) : flags;
}

template void ItemStore::briefInto<false>(const std::uint8_t*, Brief&, bool&);
template void ItemStore::briefInto<true>(const std::uint8_t*, Brief&, bool&);

ItemStore::Brief ItemStore::brief(std::size_t i) const {
    Brief b;
    const std::uint8_t* chain[kMaxDepth + 1];
    std::size_t length = 0;
    for (std::size_t k = i;;) {
        const std::uint8_t* p = at(slot(k));
        chain[length++] = p;
        const std::size_t distance = baseDistance(p);
        if (distance == 0 || length > kMaxDepth) break;
        k -= distance;
    }
    bool stream = false;
    while (length != 0) briefInto<false>(chain[--length], b, stream);
    return b;
}

std::size_t ItemStore::sharingBase(const Item& item, unsigned& depth) const {
    // Streams and further names of a file follow it: they read what they
    // share from the file item, the most recent one of the same record.
    for (std::size_t k = 0; k < kRecent; ++k) {
        const std::size_t r = m_recent[k];
        if (r != kNone && m_size - r <= kMaxBaseDistance && m_recentRecord[k] == item.record) {
            depth = m_recentDepth[k] + 1u;
            return r;
        }
    }
    // Other items read from the last one kept whole: the files of a folder
    // share their parent, flags and attribute kinds, and lie close together.
    if (m_lastKey != kNone && m_size - m_lastKey <= kMaxBaseDistance) {
        depth = 1;
        return m_lastKey;
    }
    depth = 0;
    return kNone;
}

std::size_t ItemStore::add(Item item, std::string_view name, std::string_view streamName) {
    // Names come from 255-unit fields; anything longer (a damaged session
    // log) is not kept rather than allowed to fill memory.
    const std::size_t total = name.size() + (streamName.empty() ? 0 : 1 + streamName.size());
    if (total > kMaxNameBytes || streamName.size() > std::numeric_limits<std::uint16_t>::max()) {
        name = {};
        streamName = {};
    }
    if (!streamName.empty()) item.flags |= kItemStream;
    if (m_arena.empty()) {
        // Offset 0 holds the empty item: no mask, no fields.
        m_arena.push_back(util::makeHugeBlock(std::size_t{1} << kArenaShift));
        m_arena.back()[0] = 0;
        m_arena.back()[1] = 0;
        m_arenaUsed = 2;
    }
    if ((m_size & kSlotMask) == 0) m_slots.push_back(std::make_unique<std::uint16_t[]>(std::size_t{1} << kSlotShift));
    unsigned depth = 0;
    const std::size_t base = sharingBase(item, depth);
    const std::uint32_t offset = encode(item, name, streamName, base, true);
    setSlot(m_size, offset);
    m_nameSteps[m_size % (kMaxBaseDistance + 1)] = m_lastNameSteps;
    if (!name.empty() && offset != 0 &&
        m_nameCandidates[(m_nextCandidate + kNameCandidates - 1) % kNameCandidates].name != name) {
        NameCandidate& c = m_nameCandidates[m_nextCandidate];
        m_nextCandidate = (m_nextCandidate + 1) % kNameCandidates;
        c.index = m_size;
        c.name.assign(name);
        // Items that follow read it from here, not through its steps.
        KeptName& kept = keptName(m_size);
        kept.store = this;
        kept.generation = m_generation;
        kept.index = m_size;
        kept.name.assign(name);
    }
    if (base != kNone) *at(slot(base)) |= kIsBase;
    else m_lastKey = m_size;
    if (depth < kMaxDepth) {
        std::copy_backward(m_recent, m_recent + kRecent - 1, m_recent + kRecent);
        std::copy_backward(m_recentRecord, m_recentRecord + kRecent - 1, m_recentRecord + kRecent);
        std::copy_backward(m_recentDepth, m_recentDepth + kRecent - 1, m_recentDepth + kRecent);
        m_recent[0] = m_size;
        m_recentRecord[0] = item.record;
        m_recentDepth[0] = static_cast<std::uint8_t>(depth);
    }
    if ((item.flags & kItemFolder) == 0) ++m_files;
    m_indexed = false;
    return m_size++;
}

Item ItemStore::operator[](std::size_t i) const { return view(i).item; }

template <class Change>
void ItemStore::rewrite(std::size_t i, Change change) {
    if ((*at(slot(i)) & kIsBase) != 0) {
        // Items reading from this one get fields of their own before it
        // changes.
        for (std::size_t j = i + 1; j < m_size && j - i <= kMaxBaseDistance; ++j) {
            const std::uint8_t* p = at(slot(j));
            if (baseDistance(p) != j - i) continue;
            const View v = view(j);
            const std::string base(v.base), stream(v.stream);
            // It may be a base itself (a stream's file): that stays known.
            const std::uint8_t readers = *at(slot(j)) & kIsBase;
            setSlot(j, encode(v.item, base, stream, kNone));
            *at(slot(j)) |= readers;
        }
        m_generation = nextGeneration();
        *at(slot(i)) &= static_cast<std::uint8_t>(~kIsBase);
    }
    const View v = view(i);
    Item it = v.item;
    change(it);
    m_files += static_cast<std::size_t>(!it.isFolder()) - static_cast<std::size_t>(!v.item.isFolder());
    const std::string base(v.base), stream(v.stream);
    setSlot(i, encode(it, base, stream, kNone));
    m_generation = nextGeneration();
    // Items added later are not to read from one that may change again.
    for (std::size_t& r : m_recent)
        if (r == i) r = kNone;
    if (m_lastKey == i) m_lastKey = kNone;
}

void ItemStore::setParent(std::size_t i, std::uint64_t parent) {
    if ((*this)[i].parent == parent) return;
    rewrite(i, [parent](Item& it) { it.parent = parent; });
    invalidateIndexes();
}

void ItemStore::setFlags(std::size_t i, std::uint16_t flags) {
    if ((*this)[i].flags == flags) return;
    rewrite(i, [flags](Item& it) { it.flags = flags; });
    invalidateIndexes();
}

void ItemStore::clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_groupStart.clear();
    m_groupStart.shrink_to_fit();
    m_farSlots.clear();
    m_farSlots.shrink_to_fit();
    m_size = 0;
    m_files = 0;
    m_arena.clear();
    m_arena.shrink_to_fit();
    m_arenaUsed = 0;
    m_streamNames.clear();
    m_streamNames.shrink_to_fit();
    m_streamIds.clear();
    m_scratch.clear();
    m_scratch.shrink_to_fit();
    std::fill(std::begin(m_recent), std::end(m_recent), kNone);
    m_lastKey = kNone;
    for (NameCandidate& c : m_nameCandidates) c = NameCandidate{};
    m_nextCandidate = 0;
    m_generation = nextGeneration();
    invalidateIndexes();
}

void ItemStore::releaseUnusedArena() {
    if (m_arena.empty()) return;
    constexpr std::size_t kBlockBytes = std::size_t{1} << kArenaShift;
    if (m_arenaUsed < kBlockBytes) util::releaseUnusedPages(m_arena.back().get() + m_arenaUsed, kBlockBytes - m_arenaUsed);
}

std::string ItemStore::name(std::size_t i) const {
    std::string out;
    appendName(i, out);
    return out;
}

void ItemStore::appendName(std::size_t i, std::string& out) const {
    const View& v = view(i);
    out.reserve(out.size() + v.item.nameLength);
    out += v.base;
    if (!v.stream.empty()) {
        out += ':';
        out += v.stream;
    }
}

std::string_view ItemStore::streamName(std::size_t i) const { return view(i).stream; }

std::string_view ItemStore::baseName(std::size_t i) const { return view(i).base; }

void ItemStore::invalidateIndexes() const {
    m_indexed = false;
    m_fileRuns.clear();
    m_fileRuns.shrink_to_fit();
    m_groups.clear();
    m_groups.shrink_to_fit();
    m_folders.clear();
    m_folders.shrink_to_fit();
}

void ItemStore::buildIndexes() const {
    if (m_indexed) return;
    invalidateIndexes();
    // One pass: the folders, and the files as runs of consecutive items of
    // one parent (a folder's files mostly follow one another in the store).
    // A file starts a run unless the item before it is a file of the same
    // parent.
    struct ParentRun {
        std::uint64_t parent = 0;
        FileRun run;
    };
    std::vector<ParentRun> runs;
    bool lastIsFile = false;
    forEachBrief([&](std::size_t i, const Brief& it) {
        const auto index = static_cast<std::uint32_t>(i);
        if (it.isFolder()) {
            m_folders.push_back(FolderEntry{it.record, index});
            lastIsFile = false;
            return;
        }
        if (lastIsFile && runs.back().parent == it.parent) ++runs.back().run.end;
        else runs.push_back(ParentRun{it.parent, FileRun{index, index + 1}});
        lastIsFile = true;
    });
    // The first folder item of a record is the one found.
    std::stable_sort(m_folders.begin(), m_folders.end(),
                     [](const FolderEntry& a, const FolderEntry& b) { return a.record < b.record; });
    m_folders.shrink_to_fit();
    // Each parent's runs together, in store order.
    std::stable_sort(runs.begin(), runs.end(), [](const ParentRun& a, const ParentRun& b) { return a.parent < b.parent; });
    m_fileRuns.reserve(runs.size());
    for (const ParentRun& r : runs) {
        if (m_groups.empty() || m_groups.back().parent != r.parent)
            m_groups.push_back(FileGroup{r.parent, static_cast<std::uint32_t>(m_fileRuns.size()), 0});
        ++m_groups.back().count;
        m_fileRuns.push_back(r.run);
    }
    m_groups.shrink_to_fit();
    m_indexed = true;
}

std::vector<std::uint32_t> ItemStore::filesOf(std::uint64_t parentId) const {
    buildIndexes();
    std::vector<std::uint32_t> files;
    const auto g = std::lower_bound(m_groups.begin(), m_groups.end(), parentId,
                                    [](const FileGroup& a, std::uint64_t p) { return a.parent < p; });
    if (g == m_groups.end() || g->parent != parentId) return files;
    const auto runs = std::span<const FileRun>(m_fileRuns).subspan(g->start, g->count);
    std::size_t count = 0;
    for (const FileRun& r : runs) count += r.end - r.first;
    files.reserve(count);
    for (const FileRun& r : runs)
        for (std::uint32_t k = r.first; k < r.end; ++k) files.push_back(k);
    return files;
}

std::size_t ItemStore::folderOf(std::uint64_t record) const {
    buildIndexes();
    const auto f = std::lower_bound(m_folders.begin(), m_folders.end(), record,
                                    [](const FolderEntry& a, std::uint64_t r) { return a.record < r; });
    return f == m_folders.end() || f->record != record ? kNone : f->index;
}

std::size_t ItemStore::fileCount() const { return m_files; }

std::size_t ItemStore::memoryBytes() const {
    const auto farPages = static_cast<std::size_t>(
        std::count_if(m_farSlots.begin(), m_farSlots.end(), [](const auto& page) { return page != nullptr; }));
    return m_slots.size() * (sizeof(std::uint16_t) << kSlotShift) + m_groupStart.capacity() * sizeof(std::uint32_t) +
           m_farSlots.capacity() * sizeof(m_farSlots[0]) + farPages * kFarPageItems * sizeof(std::uint32_t) +
           (m_arena.size() << kArenaShift) +
           m_scratch.capacity();
}

}  // namespace qvx::records

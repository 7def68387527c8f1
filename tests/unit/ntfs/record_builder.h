#pragma once
// Builds NTFS FILE records and small volumes in memory for the tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace qvx::ntfs::test {

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

class RecordBuilder {
public:
    explicit RecordBuilder(std::uint8_t flags = 1, std::uint32_t number = 0) : m_bytes(1024, 0) {
        std::memcpy(m_bytes.data(), "FILE", 4);
        put16(m_bytes, 0x04, 0x30);  // update sequence array
        put16(m_bytes, 0x06, 3);
        put16(m_bytes, 0x14, 0x38);  // first attribute
        m_bytes[0x16] = flags;
        put32(m_bytes, 0x1C, 1024);
        put32(m_bytes, 0x2C, number);
    }

    /// Makes this an extension record of base record n.
    RecordBuilder& base(std::uint64_t n) {
        put64(m_bytes, 0x20, n | (std::uint64_t{1} << 48));
        return *this;
    }

    RecordBuilder& fileName(const std::string& name, std::uint8_t nameSpace, std::uint32_t parent,
                            std::int64_t created = 0, bool directory = false) {
        const std::size_t valueLength = 0x42 + 2 * name.size();
        const std::size_t at = begin(0x30, 0x18 + valueLength, false);
        put32(m_bytes, at + 0x10, static_cast<std::uint32_t>(valueLength));
        put16(m_bytes, at + 0x14, 0x18);
        const std::size_t v = at + 0x18;
        put64(m_bytes, v, parent | (std::uint64_t{1} << 48));
        put64(m_bytes, v + 0x08, static_cast<std::uint64_t>(created));
        put32(m_bytes, v + 0x38, directory ? 0x10000000u : 0x20u);
        m_bytes[v + 0x40] = static_cast<std::uint8_t>(name.size());
        m_bytes[v + 0x41] = nameSpace;
        for (std::size_t i = 0; i < name.size(); ++i) m_bytes[v + 0x42 + 2 * i] = static_cast<std::uint8_t>(name[i]);
        return *this;
    }

    RecordBuilder& residentData(std::uint32_t length, const std::string& streamName = "") {
        const std::size_t nameBytes = 2 * streamName.size();
        const std::size_t at = begin(0x80, 0x18 + nameBytes + length, false);
        m_bytes[at + 0x09] = static_cast<std::uint8_t>(streamName.size());
        put16(m_bytes, at + 0x0A, 0x18);
        for (std::size_t i = 0; i < streamName.size(); ++i)
            m_bytes[at + 0x18 + 2 * i] = static_cast<std::uint8_t>(streamName[i]);
        put32(m_bytes, at + 0x10, length);
        put16(m_bytes, at + 0x14, static_cast<std::uint16_t>(0x18 + nameBytes));
        return *this;
    }

    /// A non-resident attribute of the type with the run list bytes given.
    RecordBuilder& nonResident(std::uint32_t type, std::uint64_t dataSize, const std::vector<std::uint8_t>& runs,
                               const std::string& attrName = "", std::uint64_t startVcn = 0) {
        const std::size_t nameBytes = 2 * attrName.size();
        const std::size_t runsAt = 0x40 + nameBytes;
        const std::size_t at = begin(type, runsAt + runs.size() + 1, true);
        m_bytes[at + 0x09] = static_cast<std::uint8_t>(attrName.size());
        put16(m_bytes, at + 0x0A, 0x40);
        put16(m_bytes, at + 0x20, static_cast<std::uint16_t>(runsAt));
        put64(m_bytes, at + 0x10, startVcn);
        put64(m_bytes, at + 0x30, dataSize);
        for (std::size_t i = 0; i < attrName.size(); ++i) m_bytes[at + 0x40 + 2 * i] = static_cast<std::uint8_t>(attrName[i]);
        for (std::size_t i = 0; i < runs.size(); ++i) m_bytes[at + runsAt + i] = runs[i];
        return *this;
    }

    /// Sets the allocated and initialized sizes of the last non-resident
    /// attribute added (they are 0 otherwise).
    RecordBuilder& sizes(std::uint64_t allocated, std::uint64_t initialized) {
        put64(m_bytes, m_last + 0x28, allocated);
        put64(m_bytes, m_last + 0x38, initialized);
        return *this;
    }

    /// A resident attribute list naming (type, record) pairs.
    RecordBuilder& attributeList(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
        const std::size_t at = begin(0x20, 0x18 + 0x20 * entries.size(), false);
        put32(m_bytes, at + 0x10, static_cast<std::uint32_t>(0x20 * entries.size()));
        put16(m_bytes, at + 0x14, 0x18);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t e = at + 0x18 + 0x20 * i;
            put32(m_bytes, e, entries[i].first);
            put16(m_bytes, e + 0x04, 0x20);
            put32(m_bytes, e + 0x10, entries[i].second);
        }
        return *this;
    }

    /// Ends the attributes and protects both sector ends with the update
    /// sequence number, as the disk holds a record.
    std::vector<std::uint8_t> build(std::uint16_t sequence = 0x0ABC) {
        std::vector<std::uint8_t> b = m_bytes;
        put32(b, m_next, 0xFFFFFFFFu);
        put16(b, 0x30, sequence);
        for (int i = 0; i < 2; ++i) {
            const std::size_t end = 510 + 512 * static_cast<std::size_t>(i);
            b[0x32 + 2 * i] = b[end];
            b[0x33 + 2 * i] = b[end + 1];
            put16(b, end, sequence);
        }
        return b;
    }

    /// Sets the attribute id of the attribute added last.
    RecordBuilder& withId(std::uint16_t id) {
        put16(m_bytes, m_last + 0x0E, id);
        return *this;
    }

    std::vector<std::uint8_t>& raw() { return m_bytes; }

private:
    std::size_t begin(std::uint32_t type, std::size_t length, bool nonResident) {
        length = (length + 7) & ~std::size_t{7};
        const std::size_t at = m_next;
        m_last = at;
        put32(m_bytes, at, type);
        put32(m_bytes, at + 4, static_cast<std::uint32_t>(length));
        m_bytes[at + 8] = nonResident ? 1 : 0;
        m_next += length;
        return at;
    }

    std::vector<std::uint8_t> m_bytes;
    std::size_t m_next = 0x38;
    std::size_t m_last = 0x38;
};

}  // namespace qvx::ntfs::test

#pragma once
// Attributes of an MFT record, and the entries of an $ATTRIBUTE_LIST.
//
// Attribute header (from the start of the attribute):
//   0x00 u32 type (0xFFFFFFFF ends the list)   0x04 u32 length
//   0x08 u8  non-resident flag                 0x09 u8  name length (UTF-16 units)
//   0x0A u16 name offset                       0x0C u16 flags (0x00FF compressed,
//   0x0E u16 attribute id                               0x4000 encrypted, 0x8000 sparse)
// Resident:     0x10 u32 value length, 0x14 u16 value offset
// Non-resident: 0x10 u64 first VCN, 0x18 u64 last VCN, 0x20 u16 run-list
//               offset, 0x22 u16 compression unit (log2 clusters),
//               0x28 u64 allocated size, 0x30 u64 data size,
//               0x38 u64 initialized size
//
// Attribute list entry: 0x00 u32 type, 0x04 u16 entry length, 0x06 u8 name
// length, 0x07 u8 name offset, 0x08 u64 first VCN, 0x10 u64 reference of
// the record holding the attribute, 0x18 u16 attribute id.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/mft_header.h"
#include "util/decode_status.h"
#include "util/le.h"

namespace qvx::ntfs {

// Attribute types.
inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

inline constexpr std::uint16_t kAttrFlagCompressedMask = 0x00FF;
inline constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
inline constexpr std::uint16_t kAttrFlagSparse = 0x8000;

/// Bound on the attributes of one record (a 4 KiB record holds at most a
/// few hundred of the smallest ones).
inline constexpr int kMaxAttributesPerRecord = 512;

struct Attribute {
    std::size_t offset = 0;  // within the record
    std::uint32_t type = 0;
    std::uint32_t length = 0;
    bool nonResident = false;
    std::uint16_t flags = 0;
    std::uint16_t id = 0;
    util::Bytes raw;        // the whole attribute
    util::Bytes nameUnits;  // UTF-16LE, empty when unnamed
    // Resident.
    util::Bytes value;      // empty when it does not fit the attribute
    bool valueFits = true;
    // Non-resident.
    std::uint64_t startVcn = 0;
    std::uint64_t lastVcn = 0;
    std::uint16_t runListOffset = 0;
    std::uint16_t compressionUnit = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;

    bool named() const { return !nameUnits.empty(); }
    /// The name as UTF-8 ("" when unnamed).
    std::string name() const;
    /// True when the name equals the ASCII text (e.g. "$I30").
    bool nameIs(std::string_view ascii) const;
    /// The run list of a non-resident attribute (empty when resident or out of bounds).
    util::Bytes runList() const;
};

/// Decodes the attribute at offset of record; NotThis at the end marker,
/// Corrupt when its length or fields do not fit.
util::DecodeResult decodeAttribute(util::Bytes record, std::size_t offset, std::size_t end, Attribute& out);

/// Walks the attributes of a record in order, from the header's first
/// attribute to the end marker or the bytes in use; visit(const Attribute&)
/// returns false to stop. Returns Corrupt when the walk ran into an
/// attribute that does not fit (the attributes before it were visited).
template <typename Visit>
util::DecodeResult forEachAttribute(util::Bytes record, const MftHeader& header, Visit visit) {
    const std::size_t end = header.attributeEnd(record.size());
    std::size_t offset = header.firstAttribute;
    for (int i = 0; i < kMaxAttributesPerRecord; ++i) {
        Attribute attr;
        util::DecodeResult r = decodeAttribute(record, offset, end, attr);
        if (r.notThis()) return util::DecodeResult::success();
        if (r.corrupt()) return r;
        if (!visit(static_cast<const Attribute&>(attr))) return util::DecodeResult::success();
        offset += attr.length;
    }
    return util::DecodeResult::corruptBecause("too many attributes");
}

struct AttributeListEntry {
    std::uint32_t type = 0;
    std::uint64_t startVcn = 0;
    MftRef holder;           // the record that holds the attribute
    std::uint16_t id = 0;
    util::Bytes nameUnits;   // UTF-16LE
    bool named() const { return !nameUnits.empty(); }
};

/// Bound on the entries of one attribute list.
inline constexpr std::size_t kMaxAttributeListEntries = 65536;
/// Bound on the bytes of a non-resident attribute list.
inline constexpr std::uint64_t kMaxAttributeListBytes = 1u << 20;

/// Decodes the entries of an attribute list's value. Corrupt when an entry
/// does not fit (the entries before it are kept).
util::DecodeResult decodeAttributeList(util::Bytes value, std::vector<AttributeListEntry>& out);

/// True when two UTF-16LE names are equal unit by unit.
bool sameUnits(util::Bytes a, util::Bytes b);

}  // namespace qvx::ntfs

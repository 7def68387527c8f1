#pragma once
// The header of an MFT FILE record.
//
//   0x00  4  signature "FILE" ("BAAD" marks a record a check found damaged)
//   0x04  2  offset of the update sequence array
//   0x06  2  entries of the array, the sequence number included
//   0x08  8  $LogFile sequence number
//   0x10  2  sequence number, incremented each time the record is reused
//   0x12  2  hard link count
//   0x14  2  offset of the first attribute
//   0x16  2  flags: 0x01 in use, 0x02 directory
//   0x18  4  bytes in use
//   0x1C  4  bytes allocated for the record
//   0x20  8  reference of the base record (0 for a base record)
//   0x28  2  next attribute id
//   0x2C  4  the record's own number (written since NTFS 3.1; valid when the
//            update sequence array starts at 0x30 or later)

#include <cstdint>

#include "util/decode_status.h"
#include "util/le.h"

namespace qvx::ntfs {

// FILE record header fields.
inline constexpr std::size_t kUsaOffset = 0x04;       // u16
inline constexpr std::size_t kUsaCount = 0x06;        // u16
inline constexpr std::size_t kSequence = 0x10;        // u16
inline constexpr std::size_t kFirstAttribute = 0x14;  // u16
inline constexpr std::size_t kRecordFlags = 0x16;     // u16; the low byte is tested
inline constexpr std::size_t kUsedSize = 0x18;        // u32
inline constexpr std::size_t kAllocatedSize = 0x1C;   // u32 (its low 16 bits for the raw scan)
inline constexpr std::size_t kBaseReference = 0x20;   // u64
inline constexpr std::size_t kRecordNumber = 0x2C;    // u32

inline constexpr std::uint16_t kRecordInUse = 0x01;
inline constexpr std::uint16_t kRecordIsDirectory = 0x02;

/// An MFT reference: the record number (48 bits) and the sequence number
/// the record had when the reference was made (16 bits).
struct MftRef {
    std::uint64_t record = 0;
    std::uint16_t sequence = 0;
    static MftRef fromU64(std::uint64_t value) {
        return MftRef{value & 0x0000FFFFFFFFFFFFull, static_cast<std::uint16_t>(value >> 48)};
    }
    bool operator==(const MftRef&) const = default;
};

struct MftHeader {
    std::uint16_t usaOffset = 0;
    std::uint16_t usaCount = 0;
    std::uint16_t sequence = 0;
    std::uint16_t linkCount = 0;
    std::uint16_t firstAttribute = 0;
    std::uint16_t flags = 0;
    std::uint32_t usedSize = 0;
    std::uint32_t allocatedSize = 0;
    MftRef base;
    bool hasRecordNumber = false;
    std::uint32_t recordNumber = 0;

    bool inUse() const { return (flags & kRecordInUse) != 0; }
    bool isDirectory() const { return (flags & kRecordIsDirectory) != 0; }
    bool isExtension() const { return base.record != 0; }
    /// The attribute walk ends here: the bytes in use, bounded by the buffer.
    std::size_t attributeEnd(std::size_t bufferBytes) const;
};

/// True when the buffer begins with "FILE".
bool isFileRecord(util::Bytes record);

/// Decodes the header. NotThis unless the buffer begins with "FILE";
/// Corrupt when the first attribute or the sizes do not fit the record
/// (the header is still filled as far as it reads).
util::DecodeResult parseMftHeader(util::Bytes record, MftHeader& header);

}  // namespace qvx::ntfs

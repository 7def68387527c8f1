#pragma once
// The values of $FILE_NAME and $STANDARD_INFORMATION.
//
// $FILE_NAME (0x30):
//   0x00 u64 parent directory reference   0x08 u64 creation time
//   0x10 u64 modification time            0x18 u64 MFT change time
//   0x20 u64 access time                  0x28 u64 allocated size
//   0x30 u64 data size                    0x38 u32 file attribute flags
//   0x40 u8  name length (UTF-16 units)   0x41 u8  namespace
//   0x42     the name, UTF-16LE
// $STANDARD_INFORMATION (0x10):
//   0x00 creation, 0x08 modification, 0x10 MFT change, 0x18 access time,
//   0x20 u32 file attribute flags
// Times are FILETIME: 100-ns units since 1601-01-01 UTC, kept as stored.

#include <array>
#include <cstdint>
#include <string>

#include "ntfs/mft_header.h"
#include "util/decode_status.h"
#include "util/le.h"

namespace qvx::ntfs {

/// File-name namespaces.
enum class NameSpace : std::uint8_t { Posix = 0, Win32 = 1, Dos = 2, Win32AndDos = 3 };

/// Preference when a record carries several names: Win32, Win32 and DOS,
/// DOS, then POSIX (everything the Linux driver writes is POSIX). Lower is
/// better.
int nameSpaceRank(std::uint8_t nameSpace);

inline constexpr std::uint32_t kFileAttrDirectory = 0x10000000;

/// FILETIME values in the order creation, modification, MFT change, access.
struct NtfsTimes {
    std::int64_t created = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::int64_t accessed = 0;
};

struct FileName {
    MftRef parent;
    NtfsTimes times;
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint32_t attributes = 0;
    std::uint8_t nameSpace = 0;
    util::Bytes nameUnits;  // UTF-16LE, inside the value decoded
    std::string name() const;
};

/// Decodes a $FILE_NAME value; Corrupt when the name runs past the value.
util::DecodeResult decodeFileName(util::Bytes value, FileName& out);

struct StandardInformation {
    NtfsTimes times;
    std::uint32_t attributes = 0;
    std::uint32_t ownerId = 0;
};

/// Decodes a $STANDARD_INFORMATION value; Corrupt when it is too short.
util::DecodeResult decodeStandardInformation(util::Bytes value, StandardInformation& out);

}  // namespace qvx::ntfs

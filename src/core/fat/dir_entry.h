#pragma once
// 32-byte FAT directory entries, short names, long names and the name check.
//
// Entry layout (offsets in the entry):
//    0  8  name, blank-padded; 0x00 ends the directory, 0xE5 marks a deleted entry
//    8  3  extension, blank-padded
//   11  1  attributes; 0x0F a long-name entry, bit 0x10 a directory
//   20  2  high word of the first cluster (FAT32 only)
//   22  2  last-write time       24  2  last-write date
//   26  2  low word of the first cluster
//   28  4  file size in bytes
// A long-name entry carries 13 UTF-16 characters at 1-10, 14-25 and 28-31
// and its ordinal in byte 0 (0x40 added on the last entry of a name); the
// entries of a name sit right before its short entry, last one first.

#include <cstdint>
#include <string>
#include <string_view>

#include "fat/fat_volume.h"
#include "util/le.h"

namespace qvx::fat {

inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kDeletedMark = 0xE5;
inline constexpr std::size_t kMaxLongNameChars = 255;

/// Read-only view of one 32-byte entry (the span must hold 32 bytes).
struct DirEntry {
    util::Bytes bytes;

    std::uint8_t firstByte() const { return util::le8(bytes, 0); }
    std::uint8_t attributes() const { return util::le8(bytes, 11); }
    bool endsDirectory() const { return firstByte() == 0; }
    bool isDeleted() const { return firstByte() == kDeletedMark; }
    bool isLongName() const { return attributes() == kAttrLongName; }
    bool isDirectory() const { return (attributes() & kAttrDirectory) != 0; }
    /// "." or ".." (first byte '.', byte 3 a blank).
    bool isDot() const { return firstByte() == '.' && util::le8(bytes, 3) == ' '; }
    std::uint16_t time() const { return util::le16(bytes, 22); }
    std::uint16_t date() const { return util::le16(bytes, 24); }
    std::uint32_t size() const { return util::le32(bytes, 28); }
    /// FAT16: the word at 26; FAT32: high word at 20, low word at 26.
    std::uint32_t firstCluster(bool fat32) const {
        const std::uint32_t low = util::le16(bytes, 26);
        return fat32 ? (static_cast<std::uint32_t>(util::le16(bytes, 20)) << 16) | low : low;
    }
};

/// Entry index of a 512-byte sector.
DirEntry entryAt(util::Bytes sector, std::uint32_t index);

/// True when a cluster begins with the "." and ".." entries of a directory.
bool beginsDirectory(util::Bytes cluster);

/// 8.3 name without blanks; a deleted entry's first byte shows as "_".
std::string shortName(const DirEntry& entry);

/// A name is valid unless it holds a byte 1..31 or one of " \ / ? * < > |.
/// Bytes of 0x80 and above (accented letters) are accepted.
bool isValidEntryName(std::string_view name);

struct DecodedName {
    std::string name;      // the long name when one was accepted, else the short name
    bool deleted = false;
    bool valid = false;    // false: every operation ignores the entry
};

/// Display name of the entry at entryIndex of sector (512 bytes, read from
/// sectorLba). A long name is gathered backwards from the entry, reading the
/// sectors before sectorLba when it started there; each character keeps the
/// low byte of its UTF-16 unit.
DecodedName DecodeEntryName(const FatVolume& volume, util::Bytes sector, std::uint32_t entryIndex,
                            std::uint64_t sectorLba);

}  // namespace qvx::fat

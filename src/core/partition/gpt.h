#pragma once
// The GUID partition table. A GPT disk carries a protective MBR whose one
// slot (type 0xEE) covers the whole disk; the real table is a header at LBA 1
// ("EFI PART") pointing to an array of 128-byte entries, both guarded by
// CRC32, with a copy of the header at the disk's last sector and its own copy
// of the array just before it. Every LBA in it counts the disk's logical
// sectors: on a 4Kn disk the header is at byte 4096 and an entry's first LBA
// is a 4096-byte sector.
//
// Header (little-endian):
//   0   8  signature "EFI PART"
//   12  4  header size (92 in every revision so far)
//   16  4  CRC32 of the header's first "header size" bytes, this field zeroed
//   24  8  LBA of this header
//   32  8  LBA of the other copy
//   72  8  first LBA of the entry array
//   80  4  number of entries
//   84  4  size of one entry
//   88  4  CRC32 of the whole entry array
// Entry:
//   0   16 partition type GUID (all zero: unused entry)
//   32  8  first LBA
//   40  8  last LBA (inclusive)

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disk/sector_reader.h"
#include "partition/partition_table.h"

namespace qvx::partition {

inline constexpr std::uint8_t kProtectiveType = 0xEE;

/// The CRC32 of the GPT (reflected polynomial 0xEDB88320, initial value and
/// final complement 0xFFFFFFFF), as zlib computes it.
std::uint32_t gptCrc32(const std::uint8_t* data, std::size_t size);

/// The fields of a header that passed its checks.
struct GptHeader {
    std::uint64_t headerLba = 0;
    std::uint64_t entriesLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entrySize = 0;
    std::uint32_t entriesCrc = 0;
};

/// Checks the header in sector (the first 512 bytes of logical sector lba):
/// signature, size, CRC32, its own LBA and an entry array that lies inside a
/// disk of diskSectors logical sectors of sectorSize bytes.
bool parseGptHeader(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t diskSectors, GptHeader& header,
                    std::uint32_t sectorSize = disk::kSectorSize);

enum class GptSource {
    None,     // neither header (with its entry array) is intact
    Primary,  // the header at LBA 1
    Backup,   // the header at the disk's last sector
};

struct GptReadResult {
    GptSource source = GptSource::None;
    std::vector<SkippedPartition> skipped;  // recognised, but beyond what 64-bit byte offsets reach
};

/// Reads the GPT of a disk of diskSectors 512-byte sectors whose logical
/// sectors have sectorSize bytes, the primary header first and the backup
/// when the primary or its array is damaged. Every used entry is recognised
/// by the signature in its volume's first sector (the type GUID does not
/// decide) and NTFS, FAT16 and FAT32 volumes are appended to list in entry
/// order, up to its 26-entry bound, in 512-byte sectors with 64-bit numbers.
GptReadResult readGpt(disk::SectorReader& reader, int diskIndex, std::uint64_t diskSectors, DiskPartitionList& list,
                      std::uint32_t sectorSize = disk::kSectorSize);

}  // namespace qvx::partition

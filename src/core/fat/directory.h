#pragma once
// One FAT directory as its entries stand in it. The directory's bytes are
// read through its cluster chain (the FAT16 root from its fixed region; a
// deleted directory, whose chain is gone, from contiguous clusters), so a
// long name whose entries begin in the previous cluster of a fragmented
// directory is put together from that cluster, not from whatever sector
// lies physically before. This is the one decoder of directory entries and
// long names: the naming of folders, the file list and recovery use it.
//
// Short entry: 0 name (8), 8 extension (3), 11 attributes, 12 NT case flags
// (0x08 base, 0x10 extension in lower case), 13 creation time in 10 ms
// units (0..199), 14 creation time, 16 creation date, 18 access date,
// 20 high word of the first cluster, 22 write time, 24 write date, 26 low
// word of the first cluster, 28 size.
// Long-name entry (attribute 0x0F): 0 ordinal (0x40 on the last, first in
// the directory), 1/14/28 characters (5 + 6 + 2 UTF-16 units), 13 checksum
// of the short name.

#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat_volume.h"
#include "util/diagnostics.h"
#include "util/le.h"

namespace qvx::fat {

struct FatDirEntry {
    std::uint64_t lba = 0;        // sector of the short entry
    std::uint32_t offset = 0;     // its byte offset in that sector
    std::string name;             // shown: the long name, else the short name
    std::string shortName;        // 8.3 with the case flags applied, UTF-8
    bool hasLongName = false;
    bool deleted = false;
    bool directory = false;
    bool volumeLabel = false;     // attribute 0x08 without the directory bit
    std::uint8_t attributes = 0;
    std::uint32_t firstCluster = 0;
    std::uint32_t size = 0;
    std::uint16_t writeTime = 0, writeDate = 0;
    std::uint16_t createTime = 0, createDate = 0;
    std::uint8_t createTenths = 0;  // 10 ms units
    std::uint16_t accessDate = 0;
};

struct FatDirectory {
    std::vector<FatDirEntry> entries;  // ".", "..", long-name pieces and names that fail the check left out
    std::uint32_t skippedNames = 0;    // entries left out for a name that cannot be shown
};

/// The short-name checksum long-name entries carry.
std::uint8_t shortNameChecksum(const std::uint8_t* name11);

/// Decodes a directory's bytes (its sectors in order; sectorLbas gives the
/// LBA of each 512 bytes). In a fixed FAT16 root region (rootRegion) an
/// entry that ends the directory ends only its sector.
FatDirectory decodeDirectory(util::Bytes bytes, const std::vector<std::uint64_t>& sectorLbas, bool fat32,
                             int codePage, bool rootRegion = false);

/// Reads and decodes the directory whose first cluster is folderCluster (0:
/// the root). Nothing for "QVX_Miscellaneous". Names skipped are counted in
/// diagnostics (may be null).
FatDirectory readDirectory(const FatVolume& volume, std::uint32_t folderCluster,
                           util::Diagnostics* diagnostics = nullptr);

/// Where a directory's sectors lie: its chain, or contiguous clusters from
/// its first cluster when the FAT no longer holds a chain for it.
std::vector<std::uint64_t> directorySectors(const FatVolume& volume, std::uint32_t firstCluster);

}  // namespace qvx::fat

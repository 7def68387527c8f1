#pragma once
// Decoding of NTFS FILE records: the update-sequence fixup, the attribute
// walk, file names, data sizes, attribute lists and the first cluster of a
// folder's index. Pure functions over byte buffers; every walk is bounded by
// the 1024 bytes of a record (or the buffer, if shorter).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "util/le.h"

namespace qvx::ntfs {

/// An MFT record is taken as two 512-byte sectors.
inline constexpr std::size_t kRecordBytes = 1024;
inline constexpr std::uint32_t kSectorsPerRecord = 2;

// FILE record header.
inline constexpr std::size_t kUsaOffset = 0x04;        // u16
inline constexpr std::size_t kUsaCount = 0x06;         // u16, sequence number included
inline constexpr std::size_t kFirstAttribute = 0x14;   // u16
inline constexpr std::size_t kRecordFlags = 0x16;      // u8: bit 0 in use, bit 1 directory
inline constexpr std::size_t kAllocatedSize = 0x1C;    // u16
inline constexpr std::size_t kRecordNumber = 0x2C;     // u32

// Attribute types.
inline constexpr std::uint32_t kAttrList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;

/// File-name namespaces.
enum class NameSpace : std::uint8_t { Posix = 0, Win32 = 1, Dos = 2, Win32AndDos = 3 };

/// Records of one file listed by its attribute list, the record itself first.
inline constexpr std::size_t kMaxListedRecords = 68;

struct FileNameInfo {
    bool found = false;
    std::string name;            // low byte of each UTF-16 unit
    std::uint32_t parent = 0;    // low 32 bits of the parent reference
    std::int64_t creationTime = 0;
};

struct DataSize {
    bool found = false;
    std::uint64_t size = 0;
};

/// True when the buffer begins with "FILE".
bool isFileRecord(util::Bytes record);

/// Puts back the two bytes the update sequence array saved for every
/// 512-byte stride it covers; strides beyond length are left alone.
void applyFixup(std::span<std::uint8_t> buffer, std::size_t length);

/// The first unnamed file-name attribute in the namespace.
FileNameInfo findFileName(util::Bytes record, NameSpace nameSpace);
/// Win32, Win32 and DOS, DOS, then POSIX: the first namespace found wins.
FileNameInfo findFileNamePreferred(util::Bytes record);
/// Size of the first unnamed data attribute (64-bit).
DataSize findDataSize(util::Bytes record);
/// [ownNumber] followed by the record numbers of the entries of a resident
/// attribute list, at most kMaxListedRecords in all.
std::vector<std::uint32_t> collectListedRecords(util::Bytes record, std::uint32_t ownNumber);
/// First cluster of the folder's "$I30" index allocation, or 0.
std::uint32_t findIndexAllocationFirstCluster(util::Bytes record);
/// The 32-bit record number at 0x2C.
std::uint32_t recordNumberFromHeader(util::Bytes record);

/// Offset of the first attribute of the type within the record, or 0.
std::size_t findAttribute(util::Bytes record, std::uint32_t type);

}  // namespace qvx::ntfs

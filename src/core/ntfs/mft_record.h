#pragma once
// Lookups inside one FILE record, as the raw scan and the assignment of an
// Advance Search use them: file names, data sizes, the records an attribute
// list names and the first cluster of a folder's index. They work on a
// record already read with its fixup applied, and walk only that record;
// the whole file, extension records included, is put together by mft_file.h.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ntfs/attribute.h"
#include "ntfs/file_name.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_header.h"
#include "util/le.h"

namespace qvx::ntfs {

/// The record size the raw scan accepts and the default elsewhere.
inline constexpr std::size_t kRecordBytes = 1024;
inline constexpr std::uint32_t kSectorsPerRecord = 2;

/// Records of one file listed by its attribute list, the record itself first.
inline constexpr std::size_t kMaxListedRecords = 68;

struct FileNameInfo {
    bool found = false;
    std::string name;            // UTF-8
    std::uint32_t parent = 0;    // low 32 bits of the parent reference
    std::int64_t creationTime = 0;
};

struct DataSize {
    bool found = false;
    std::uint64_t size = 0;
};

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

#include "ntfs/mft_record.h"

#include <algorithm>
#include <array>

namespace qvx::ntfs {

namespace {

// Attribute header.
constexpr std::size_t kAttrType = 0x00;          // u32
constexpr std::size_t kAttrLength = 0x04;        // u32
constexpr std::size_t kAttrNonResident = 0x08;   // u8
constexpr std::size_t kAttrNameLength = 0x09;    // u8, UTF-16 units
constexpr std::size_t kAttrValueLength = 0x10;   // u32, resident
constexpr std::size_t kAttrValueOffset = 0x14;   // u16, resident
constexpr std::size_t kAttrRunListOffset = 0x20; // u16, non-resident
constexpr std::size_t kAttrDataSize = 0x30;      // u64, non-resident
constexpr std::size_t kAttrName = 0x40;          // name of an attribute where one is tested

// File-name value.
constexpr std::size_t kFnParent = 0x00;          // u64, low 32 bits used
constexpr std::size_t kFnCreationTime = 0x08;    // u64 FILETIME
constexpr std::size_t kFnNameLength = 0x40;      // u8
constexpr std::size_t kFnNameSpace = 0x41;       // u8
constexpr std::size_t kFnName = 0x42;            // UTF-16LE

// Attribute list entry.
constexpr std::size_t kListEntryType = 0x00;     // u32
constexpr std::size_t kListEntryLength = 0x04;   // u16
constexpr std::size_t kListEntryRecord = 0x10;   // u64, low 32 bits used

// Attributes are looked for below this offset of the record.
constexpr std::size_t kWalkLimit = kRecordBytes - 1;

/// Calls test(offset) for each attribute of the type in order until it
/// returns true; returns that offset or 0.
template <typename Test>
std::size_t walkAttributes(util::Bytes record, std::uint32_t type, Test test) {
    const std::size_t limit = std::min(kWalkLimit, record.size());
    std::size_t offset = util::le16(record, kFirstAttribute);
    // Each step advances by a non-zero length, so the walk ends within
    // limit iterations.
    while (offset < limit) {
        const std::uint32_t here = util::le32(record, offset + kAttrType);
        if (here == 0 || here == 0xFFFFFFFFu) return 0;
        if (here == type && test(offset)) return offset;
        const std::uint32_t length = util::le32(record, offset + kAttrLength);
        if (length == 0 || length >= limit - offset) return 0;
        offset += length;
    }
    return 0;
}

std::string lowBytesOfUnits(util::Bytes record, std::size_t offset, std::size_t units) {
    std::string name;
    name.reserve(units);
    for (std::size_t i = 0; i < units && util::fits(record.size(), offset + 2 * i, 2); ++i)
        name.push_back(static_cast<char>(record[offset + 2 * i]));
    return name;
}

}  // namespace

bool isFileRecord(util::Bytes record) { return util::bytesEqual(record, 0, "FILE"); }

void applyFixup(std::span<std::uint8_t> buffer, std::size_t length) {
    length = std::min(length, buffer.size());
    const std::size_t usaOffset = util::le16(buffer, kUsaOffset);
    const std::size_t usaCount = util::le16(buffer, kUsaCount);
    if (usaCount < 2) return;
    // Entry 0 is the sequence number; entry i + 1 holds the original last
    // two bytes of the i-th 512-byte stride.
    const std::size_t strides = usaCount - 1;
    if (strides > length || usaOffset + 2 > length) return;
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t source = usaOffset + 2 + 2 * i;
        const std::size_t target = 510 + 512 * i;
        if (!util::fits(length, source, 2) || !util::fits(length, target, 2)) return;
        buffer[target] = buffer[source];
        buffer[target + 1] = buffer[source + 1];
    }
}

FileNameInfo findFileName(util::Bytes record, NameSpace nameSpace) {
    FileNameInfo info;
    bool gaveUp = false;
    const std::size_t attr = walkAttributes(record, kAttrFileName, [&](std::size_t offset) {
        if (gaveUp || util::le8(record, offset + kAttrNameLength) != 0) return false;
        const std::size_t value = offset + util::le16(record, offset + kAttrValueOffset);
        if (value > kWalkLimit) {
            gaveUp = true;
            return false;
        }
        return util::le8(record, value + kFnNameSpace) == static_cast<std::uint8_t>(nameSpace);
    });
    if (attr == 0 || gaveUp) return info;
    const std::size_t value = attr + util::le16(record, attr + kAttrValueOffset);
    info.found = true;
    info.parent = util::le32(record, value + kFnParent);
    info.creationTime = static_cast<std::int64_t>(util::le64(record, value + kFnCreationTime));
    info.name = lowBytesOfUnits(record, value + kFnName, util::le8(record, value + kFnNameLength));
    return info;
}

FileNameInfo findFileNamePreferred(util::Bytes record) {
    // Linux's NTFS driver writes every name in the POSIX namespace, so it is
    // taken last rather than never.
    static constexpr std::array<NameSpace, 4> kOrder{NameSpace::Win32, NameSpace::Win32AndDos, NameSpace::Dos,
                                                     NameSpace::Posix};
    for (NameSpace nameSpace : kOrder) {
        FileNameInfo info = findFileName(record, nameSpace);
        if (info.found) return info;
    }
    return {};
}

DataSize findDataSize(util::Bytes record) {
    const std::size_t attr =
        walkAttributes(record, kAttrData, [&](std::size_t offset) { return util::le8(record, offset + kAttrNameLength) == 0; });
    if (attr == 0) return {};
    DataSize result;
    result.found = true;
    result.size = util::le8(record, attr + kAttrNonResident) == 1 ? util::le64(record, attr + kAttrDataSize)
                                                                   : util::le32(record, attr + kAttrValueLength);
    return result;
}

std::vector<std::uint32_t> collectListedRecords(util::Bytes record, std::uint32_t ownNumber) {
    std::vector<std::uint32_t> list{ownNumber};
    const std::size_t attr = walkAttributes(
        record, kAttrList, [&](std::size_t offset) { return util::le8(record, offset + kAttrNonResident) == 0; });
    if (attr == 0) return list;
    const std::size_t valueOffset = util::le16(record, attr + kAttrValueOffset);
    if (valueOffset == 0 || valueOffset >= kWalkLimit) return list;
    std::size_t entry = attr + valueOffset;
    if (entry >= kWalkLimit) return list;
    // Entries end with the attribute's value as well as with the record.
    const std::size_t end =
        std::min({kRecordBytes, record.size(), entry + std::size_t{util::le32(record, attr + kAttrValueLength)}});
    while (entry < end && list.size() < kMaxListedRecords) {
        const std::uint32_t type = util::le32(record, entry + kListEntryType);
        if (type == 0 || type == 0xFFFFFFFFu) break;
        if (!util::fits(end, entry, kListEntryRecord + 4)) break;
        list.push_back(util::le32(record, entry + kListEntryRecord));
        const std::size_t length = util::le16(record, entry + kListEntryLength);
        if (length == 0 || length >= kRecordBytes) break;
        entry += length;
    }
    return list;
}

std::uint32_t findIndexAllocationFirstCluster(util::Bytes record) {
    const std::size_t attr = walkAttributes(record, kAttrIndexAllocation, [&](std::size_t offset) {
        return util::le8(record, offset + kAttrNameLength) == 4 && util::le16(record, offset + kAttrName) == '$' &&
               util::le16(record, offset + kAttrName + 2) == 'I' && util::le16(record, offset + kAttrName + 4) == '3' &&
               util::le16(record, offset + kAttrName + 6) == '0';
    });
    if (attr == 0) return 0;
    const std::size_t runs = attr + util::le16(record, attr + kAttrRunListOffset);
    const std::size_t limit = std::min(kRecordBytes, record.size());
    if (runs >= limit) return 0;
    const std::uint8_t header = record[runs];
    if (header == 0) return 0;
    const std::size_t lengthSize = header & 0x0F;
    const std::size_t offsetSize = std::min<std::size_t>(header >> 4, 4);
    std::uint32_t cluster = 0;
    for (std::size_t i = 0; i < offsetSize; ++i) {
        const std::size_t at = runs + 1 + lengthSize + i;
        if (at >= limit) return 0;
        cluster |= static_cast<std::uint32_t>(record[at]) << (8 * i);
    }
    return cluster;
}

std::uint32_t recordNumberFromHeader(util::Bytes record) { return util::le32(record, kRecordNumber); }

std::size_t findAttribute(util::Bytes record, std::uint32_t type) {
    return walkAttributes(record, type, [](std::size_t) { return true; });
}

}  // namespace qvx::ntfs

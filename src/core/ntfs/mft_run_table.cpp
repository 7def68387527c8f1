#include "ntfs/mft_run_table.h"

#include <algorithm>
#include <array>
#include <limits>

#include "ntfs/mft_record.h"

namespace qvx::ntfs {

namespace {

constexpr std::size_t kAttrNonResident = 0x08;    // u8
constexpr std::size_t kAttrValueLength = 0x10;    // u32, resident
constexpr std::size_t kAttrValueOffset = 0x14;    // u16, resident
constexpr std::size_t kAttrRunListOffset = 0x20;  // u16, non-resident
constexpr std::size_t kAttrDataSize = 0x30;       // u64, non-resident

// An attribute list longer than this is not taken (real ones are a few KiB).
constexpr std::uint64_t kMaxAttributeListBytes = 1u << 20;
// Bound on the extension records of the MFT's own data.
constexpr std::size_t kMaxExtensionRecords = 4096;

std::uint32_t clampToU32(std::uint64_t value) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

using Record = std::array<std::uint8_t, kRecordBytes>;

bool readRecord(const partition::VolumeRange& volume, std::uint64_t sector, Record& record) {
    volume.read(sector, kSectorsPerRecord, record.data());
    if (!isFileRecord(record)) return false;
    applyFixup(record, record.size());
    return true;
}

}  // namespace

std::uint64_t MftRunTable::totalSectors() const {
    std::uint64_t total = 0;
    for (std::uint32_t length : m_lengths) total += length;
    return total;
}

std::uint32_t MftRunTable::previousStart() const {
    for (std::size_t i = m_starts.size(); i > 0; --i)
        if (m_starts[i - 1] != 0) return m_starts[i - 1];
    return 0;
}

void MftRunTable::appendRunList(util::Bytes buffer, std::size_t offset, std::uint64_t volumeStart,
                                std::uint32_t sectorsPerCluster) {
    bool firstOfInstance = true;
    std::uint64_t previous = previousStart();
    // Each step consumes at least the header byte, so the walk ends at the
    // buffer's end at the latest.
    while (offset < buffer.size() && m_starts.size() < kMaxRuns) {
        const std::uint8_t header = buffer[offset];
        if (header == 0) break;
        const std::size_t lengthSize = header & 0x0F;
        const std::size_t offsetSize = header >> 4;
        if (!util::fits(buffer.size(), offset + 1, lengthSize + offsetSize)) break;
        std::uint64_t clusters = 0;
        for (std::size_t i = 0; i < std::min<std::size_t>(lengthSize, 4); ++i)
            clusters |= std::uint64_t{buffer[offset + 1 + i]} << (8 * i);
        const std::uint32_t lengthSectors = clampToU32(clusters * sectorsPerCluster);
        if (offsetSize == 0) {
            m_starts.push_back(0);
            m_lengths.push_back(lengthSectors);
        } else {
            // Signed, relative offset of up to eight bytes.
            std::uint64_t raw = 0;
            for (std::size_t i = 0; i < std::min<std::size_t>(offsetSize, 8); ++i)
                raw |= std::uint64_t{buffer[offset + 1 + lengthSize + i]} << (8 * i);
            const bool negative = (buffer[offset + lengthSize + std::min<std::size_t>(offsetSize, 8)] & 0x80) != 0;
            std::uint64_t start = 0;
            if (negative) {
                const std::uint64_t magnitude =
                    offsetSize >= 8 ? (~raw + 1) : ((std::uint64_t{1} << (8 * offsetSize)) - raw);
                const std::uint64_t back = magnitude * sectorsPerCluster;
                start = back > previous ? 0 : previous - back;
            } else if (firstOfInstance || m_starts.empty()) {
                start = volumeStart + raw * sectorsPerCluster;
            } else {
                start = previous + raw * sectorsPerCluster;
            }
            m_starts.push_back(clampToU32(start));
            m_lengths.push_back(lengthSectors);
            previous = start;
        }
        firstOfInstance = false;
        offset += 1 + lengthSize + offsetSize;
    }
}

std::uint32_t MftRunTable::recordSector(std::uint32_t recordNumber) const {
    const std::uint64_t target = std::uint64_t{recordNumber} * kSectorsPerRecord;
    std::uint64_t before = 0;
    for (std::size_t i = 0; i < m_starts.size(); ++i) {
        if (target < before + m_lengths[i]) return clampToU32(m_starts[i] + (target - before));
        before += m_lengths[i];
    }
    return 0;
}

std::vector<std::uint32_t> MftRunTable::dataRecordsOfList(util::Bytes entries) {
    std::vector<std::uint32_t> records;
    std::size_t entry = 0;
    while (util::fits(entries.size(), entry, 0x18) && records.size() < kMaxExtensionRecords) {
        const std::uint32_t type = util::le32(entries, entry);
        if (type == 0 || type == 0xFFFFFFFFu) break;
        const std::uint32_t number = util::le32(entries, entry + 0x10);
        if (type == kAttrData && std::find(records.begin(), records.end(), number) == records.end())
            records.push_back(number);
        const std::size_t length = util::le16(entries, entry + 0x04);
        if (length == 0) break;
        entry += length;
    }
    return records;
}

void MftRunTable::buildMftRunTable(const partition::VolumeRange& volume, std::uint32_t volumeStart,
                                   std::uint32_t mftSector, std::uint32_t sectorsPerCluster) {
    Record record{};
    // Record 5, the root folder: its index runs stand in for the table when
    // record 0 turns out unusable below.
    if (!readRecord(volume, std::uint64_t{mftSector} + 10, record)) return;
    if (const std::size_t attr = findAttribute(record, kAttrIndexAllocation);
        attr != 0 && util::le8(record, attr + kAttrNonResident) == 1)
        appendRunList(record, attr + util::le16(record, attr + kAttrRunListOffset), volumeStart, sectorsPerCluster);

    // Record 0, the MFT itself.
    if (!readRecord(volume, mftSector, record)) return;
    Record base = record;
    if (const std::size_t attr = findAttribute(base, kAttrData); attr != 0) {
        clear();
        if (util::le8(base, attr + kAttrNonResident) == 1)
            appendRunList(base, attr + util::le16(base, attr + kAttrRunListOffset), volumeStart, sectorsPerCluster);
    }

    // A large MFT keeps further runs of its data in extension records named
    // by an attribute list.
    const std::size_t list = findAttribute(base, kAttrList);
    if (list == 0) return;
    std::vector<std::uint32_t> extensions;
    if (util::le8(base, list + kAttrNonResident) == 0) {
        const std::size_t value = list + util::le16(base, list + kAttrValueOffset);
        const std::size_t length = util::le32(base, list + kAttrValueLength);
        if (value >= base.size()) return;
        extensions = dataRecordsOfList(util::Bytes(base).subspan(value, std::min(length, base.size() - value)));
    } else {
        MftRunTable listRuns;
        listRuns.appendRunList(base, list + util::le16(base, list + kAttrRunListOffset), volumeStart,
                               sectorsPerCluster);
        const std::uint64_t listBytes = std::min(util::le64(base, list + kAttrDataSize), kMaxAttributeListBytes);
        std::vector<std::uint8_t> bytes;
        for (std::size_t run = 0; run < listRuns.runCount() && bytes.size() < listBytes; ++run) {
            for (std::uint32_t s = 0; s < listRuns.length(run) && bytes.size() < listBytes; ++s) {
                std::array<std::uint8_t, disk::kSectorSize> sector{};
                volume.read(std::uint64_t{listRuns.start(run)} + s, 1, sector.data());
                bytes.insert(bytes.end(), sector.begin(), sector.end());
            }
        }
        bytes.resize(std::min<std::size_t>(bytes.size(), listBytes));
        extensions = dataRecordsOfList(bytes);
    }
    if (extensions.empty()) return;

    clear();
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        const std::uint64_t sector = i == 0 ? std::uint64_t{mftSector} + std::uint64_t{kSectorsPerRecord} * extensions[0]
                                            : recordSector(extensions[i]);
        if (i > 0 && sector == 0) return;
        if (!readRecord(volume, sector, record)) return;
        const std::size_t attr = findAttribute(record, kAttrData);
        if (attr == 0 || util::le8(record, attr + kAttrNonResident) != 1) continue;
        appendRunList(record, attr + util::le16(record, attr + kAttrRunListOffset), volumeStart, sectorsPerCluster);
    }
}

}  // namespace qvx::ntfs

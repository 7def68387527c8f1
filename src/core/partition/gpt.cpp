#include "partition/gpt.h"

#include <array>
#include <cstring>

#include "disk/sector_size.h"
#include "util/le.h"

namespace qvx::partition {

namespace {

constexpr std::uint64_t kPrimaryHeaderLba = 1;
constexpr std::uint32_t kMinHeaderSize = 92;
constexpr std::uint32_t kMinEntrySize = 128;
constexpr std::uint32_t kMaxEntrySize = 4096;
// Real tables hold 128 entries of 128 bytes (16 KiB); anything far beyond
// that is not a table worth trusting, and the bound keeps the read small.
constexpr std::size_t kMaxArrayBytes = 4u << 20;

constexpr std::size_t kHdrSize = 12;
constexpr std::size_t kHdrCrc = 16;
constexpr std::size_t kHdrMyLba = 24;
constexpr std::size_t kHdrEntriesLba = 72;
constexpr std::size_t kHdrEntryCount = 80;
constexpr std::size_t kHdrEntrySize = 84;
constexpr std::size_t kHdrEntriesCrc = 88;

constexpr std::size_t kEntryTypeGuid = 0;
constexpr std::size_t kEntryGuidSize = 16;
constexpr std::size_t kEntryFirst = 32;
constexpr std::size_t kEntryLast = 40;

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

/// The entry array of a header whose CRC32 matches, or empty. units: 512-byte
/// sectors per logical sector.
std::vector<std::uint8_t> readEntryArray(disk::SectorReader& reader, int diskIndex, const GptHeader& h,
                                         std::uint64_t units) {
    const std::size_t bytes = static_cast<std::size_t>(h.entryCount) * h.entrySize;
    const std::size_t sectors = (bytes + disk::kSectorSize - 1) / disk::kSectorSize;
    std::vector<std::uint8_t> array(sectors * disk::kSectorSize, 0);
    if (sectors > 0)
        reader.ReadSectors(diskIndex, h.entriesLba * units, static_cast<std::uint32_t>(sectors), array.data());
    if (gptCrc32(array.data(), bytes) != h.entriesCrc) return {};
    array.resize(bytes);
    return array;
}

bool unusedEntry(util::Bytes entry) {
    for (std::size_t i = 0; i < kEntryGuidSize; ++i)
        if (util::le8(entry, kEntryTypeGuid + i) != 0) return false;
    return true;
}

}  // namespace

std::uint32_t gptCrc32(const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool parseGptHeader(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t diskSectors, GptHeader& header,
                    std::uint32_t sectorSize) {
    util::Bytes b(sector, disk::kSectorSize);
    if (!util::bytesEqual(b, 0, "EFI PART")) return false;
    const std::uint32_t size = util::le32(b, kHdrSize);
    if (size < kMinHeaderSize || size > disk::kSectorSize) return false;
    // The CRC covers the header with its own CRC field taken as zero.
    std::array<std::uint8_t, disk::kSectorSize> copy{};
    std::memcpy(copy.data(), sector, size);
    std::memset(copy.data() + kHdrCrc, 0, 4);
    if (gptCrc32(copy.data(), size) != util::le32(b, kHdrCrc)) return false;
    if (util::le64(b, kHdrMyLba) != lba) return false;

    GptHeader h;
    h.headerLba = lba;
    h.entriesLba = util::le64(b, kHdrEntriesLba);
    h.entryCount = util::le32(b, kHdrEntryCount);
    h.entrySize = util::le32(b, kHdrEntrySize);
    h.entriesCrc = util::le32(b, kHdrEntriesCrc);
    if (h.entrySize < kMinEntrySize || h.entrySize > kMaxEntrySize || h.entrySize % 8 != 0) return false;
    const std::uint64_t bytes = static_cast<std::uint64_t>(h.entryCount) * h.entrySize;
    if (bytes > kMaxArrayBytes) return false;
    const std::uint64_t sectors = (bytes + sectorSize - 1) / sectorSize;
    // The array lies after the protective MBR and inside the disk.
    if (h.entriesLba < 2 || h.entriesLba > diskSectors || sectors > diskSectors - h.entriesLba) return false;
    header = h;
    return true;
}

GptReadResult readGpt(disk::SectorReader& reader, int diskIndex, std::uint64_t diskSectors, DiskPartitionList& list,
                      std::uint32_t sectorSize) {
    GptReadResult result;
    if (sectorSize < disk::kSectorSize || sectorSize % disk::kSectorSize != 0) return result;
    const std::uint64_t units = sectorSize / disk::kSectorSize;
    const std::uint64_t logicalSectors = diskSectors / units;
    if (logicalSectors < 3) return result;
    std::uint8_t sector[disk::kSectorSize];

    GptHeader header;
    std::vector<std::uint8_t> entries;
    const std::uint64_t candidates[2] = {kPrimaryHeaderLba, logicalSectors - 1};
    const GptSource sources[2] = {GptSource::Primary, GptSource::Backup};
    for (int i = 0; i < 2 && result.source == GptSource::None; ++i) {
        std::memset(sector, 0, sizeof sector);
        reader.ReadSectors(diskIndex, candidates[i] * units, 1, sector);
        if (!parseGptHeader(sector, candidates[i], logicalSectors, header, sectorSize)) continue;
        entries = readEntryArray(reader, diskIndex, header, units);
        if (entries.empty() && header.entryCount != 0) continue;  // array damaged
        result.source = sources[i];
    }
    if (result.source == GptSource::None) return result;

    std::uint8_t boot[disk::kSectorSize];
    for (std::uint32_t i = 0; i < header.entryCount && !list.full(); ++i) {
        const util::Bytes entry(entries.data() + static_cast<std::size_t>(i) * header.entrySize, header.entrySize);
        if (unusedEntry(entry)) continue;
        const std::uint64_t first = util::le64(entry, kEntryFirst);
        const std::uint64_t last = util::le64(entry, kEntryLast);
        if (first > last || first >= logicalSectors) continue;
        std::memset(boot, 0, sizeof boot);
        reader.ReadSectors(diskIndex, first * units, 1, boot);
        // Only the volume's own boot sector decides; the basic-data type GUID
        // is shared by NTFS, FAT and exFAT alike.
        const std::string name = nameForType(correctTypeBySignature(0, boot), false);
        if (name.empty()) continue;
        // An entry may claim more than the disk holds (a truncated image);
        // only a size no byte offset can express is refused.
        constexpr std::uint64_t kMaxLogical = (UINT64_MAX >> 9) / (disk::kMaxLogicalSectorSize / disk::kSectorSize);
        if (last >= kMaxLogical) {
            result.skipped.push_back({name, i, first, last == UINT64_MAX ? last : last + 1});
            continue;
        }
        list.entries.push_back({name, first * units, (last + 1) * units, false, TableKind::Gpt});
    }
    return result;
}

}  // namespace qvx::partition

#include "fat/dir_entry.h"

#include <array>
#include <vector>

#include "util/utf.h"

namespace qvx::fat {

namespace {

constexpr std::array<std::size_t, 13> kLongNameCharOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// Sectors a long name can reach back: 255 characters need at most 20
// entries, which span at most two sectors before the short entry's.
constexpr std::uint64_t kMaxSectorsBack = 3;

enum class LongNameResult { Accepted, Rejected };

// The first sector a long name may reach back to: the start of the FAT16
// root region for an entry in it, else the start of the data area. Before
// those lie the FATs, whose bytes could pass for long-name entries.
std::uint64_t firstDirectorySector(const FatVolume& v, std::uint64_t sectorLba) {
    const auto& p = v.params;
    const std::uint64_t rootStart = p.rootStart;
    if (v.isFat16() && rootStart != 0 && sectorLba >= rootStart && sectorLba < rootStart + p.rootSectors)
        return rootStart;
    if (p.sectorsPerCluster == 0) return 0;
    return v.clusterSector(2);
}

// Collects the long name of the entry at byte offset position of sector.
LongNameResult collectLongName(const FatVolume& volume, util::Bytes sector, std::int64_t position,
                               std::uint64_t sectorLba, std::vector<std::uint8_t>& out) {
    out.clear();
    const std::uint64_t firstLba = firstDirectorySector(volume, sectorLba);
    std::array<std::uint8_t, disk::kSectorSize> previous{};
    util::Bytes current = sector;
    std::uint64_t currentLba = sectorLba;
    std::uint32_t sequence = 1;
    for (;;) {
        if (out.size() / 2 > kMaxLongNameChars) return LongNameResult::Accepted;
        position -= kEntrySize;
        if (position < 0) {
            if (currentLba <= firstLba || sectorLba - currentLba >= kMaxSectorsBack) return LongNameResult::Rejected;
            --currentLba;
            volume.read(currentLba, 1, previous.data());
            current = util::Bytes(previous);
            position = disk::kSectorSize - kEntrySize;
        }
        const DirEntry entry{current.subspan(static_cast<std::size_t>(position), kEntrySize)};
        if (!entry.isLongName())
            return (!out.empty() && (out.size() / 2) % 13 == 0) ? LongNameResult::Accepted : LongNameResult::Rejected;
        for (std::size_t off : kLongNameCharOffsets) {
            const std::uint16_t unit = util::le16(entry.bytes, off);
            if (unit == 0) return LongNameResult::Accepted;
            out.push_back(static_cast<std::uint8_t>(unit));
            out.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        if (entry.firstByte() == 0x40 + sequence) return LongNameResult::Accepted;
        ++sequence;
    }
}

}  // namespace

DirEntry entryAt(util::Bytes sector, std::uint32_t index) {
    const std::size_t off = static_cast<std::size_t>(index) * kEntrySize;
    if (!util::fits(sector.size(), off, kEntrySize)) return DirEntry{util::Bytes{}};
    return DirEntry{sector.subspan(off, kEntrySize)};
}

bool beginsDirectory(util::Bytes c) {
    if (c.size() < 2 * kEntrySize) return false;
    return c[0] == '.' && c[1] == ' ' && c[32] == '.' && c[33] == '.' && c[34] == ' ';
}

std::string shortName(const DirEntry& entry) {
    std::string name;
    for (std::size_t i = 0; i < 8; ++i) {
        std::uint8_t c = util::le8(entry.bytes, i);
        if (i == 0 && c == kDeletedMark) c = '_';
        if (c == ' ' || c == 0) continue;
        name.push_back(static_cast<char>(c));
    }
    if (util::le8(entry.bytes, 8) != ' ') {
        name.push_back('.');
        for (std::size_t i = 8; i < 11; ++i) {
            const std::uint8_t c = util::le8(entry.bytes, i);
            if (c == ' ' || c == 0) continue;
            name.push_back(static_cast<char>(c));
        }
    }
    return name;
}

bool isValidEntryName(std::string_view name) {
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 1 && c <= 31) return false;
        switch (c) {
            case '"': case '\\': case '/': case '?': case '*': case '<': case '>': case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

DecodedName DecodeEntryName(const FatVolume& volume, util::Bytes sector, std::uint32_t entryIndex,
                            std::uint64_t sectorLba) {
    DecodedName result;
    const DirEntry entry = entryAt(sector, entryIndex);
    if (entry.bytes.empty()) return result;
    result.deleted = entry.isDeleted();
    result.name = util::latin1ToUtf8(shortName(entry));
    if (!isValidEntryName(result.name)) return result;
    if (sector.size() < disk::kSectorSize || entryIndex >= kEntriesPerSector) {
        result.valid = true;
        return result;
    }
    std::vector<std::uint8_t> longName;
    const std::int64_t position = static_cast<std::int64_t>(entryIndex) * kEntrySize;
    // An accepted but empty long name (a lone entry starting with 0) would
    // leave the entry nameless; the short name is kept then.
    if (collectLongName(volume, sector.first(disk::kSectorSize), position, sectorLba, longName) ==
            LongNameResult::Accepted &&
        !longName.empty()) {
        result.name = util::utf16leToUtf8(longName);
        if (!isValidEntryName(result.name)) return result;
    }
    result.valid = true;
    return result;
}

}  // namespace qvx::fat

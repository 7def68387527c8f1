#pragma once
// Small FAT volumes built in memory, sector by sector, for the FAT tests.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/sector_reader.h"
#include "fat/fat_volume.h"
#include "partition/validate_volume.h"

namespace qvx::fat::test {

class TestDisk {
public:
    explicit TestDisk(std::size_t sectors)
        : m_device(std::make_shared<disk::MemoryDevice>(std::vector<std::uint8_t>(sectors * 512, 0))) {
        m_reader.attachDevice(0, m_device);
    }
    std::uint8_t* sector(std::uint64_t lba) { return m_device->data().data() + lba * 512; }
    disk::MemoryDevice& device() { return *m_device; }
    std::shared_ptr<disk::MemoryDevice> sharedDevice() const { return m_device; }
    std::uint64_t sectors() const { return m_device->sizeBytes() / 512; }

    partition::VolumeRange range(std::uint64_t start, std::uint64_t end) {
        partition::VolumeRange r;
        r.reader = &m_reader;
        r.diskIndex = 0;
        r.SectorRangeStart = start;
        r.SectorRangeEnd = end;
        return r;
    }

private:
    std::shared_ptr<disk::MemoryDevice> m_device;
    disk::SectorReader m_reader;
};

inline void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v));
    put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

/// A short entry; name11 is the blank-padded 8 + 3 name.
inline void putEntry(std::uint8_t* e, const char* name11, std::uint8_t attr, std::uint32_t cluster,
                     std::uint32_t size = 0, std::uint16_t date = 0, std::uint16_t time = 0) {
    std::memcpy(e, name11, 11);
    e[11] = attr;
    put16(e + 20, static_cast<std::uint16_t>(cluster >> 16));
    put16(e + 22, time);
    put16(e + 24, date);
    put16(e + 26, static_cast<std::uint16_t>(cluster));
    put32(e + 28, size);
}

/// One long-name entry with up to 13 characters of text starting at from;
/// a terminating 0 (then 0xFFFF padding) when the text ends inside it.
inline std::uint8_t shortChecksum(const char* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(name11[i]));
    return sum;
}

inline void putLongEntry(std::uint8_t* e, std::uint8_t ordinal, const std::u16string& text, std::size_t from,
                         std::uint8_t checksum = 0) {
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::memset(e, 0, 32);
    e[0] = ordinal;
    e[11] = 0x0F;
    e[13] = checksum;
    for (int i = 0; i < 13; ++i) {
        const std::size_t k = from + static_cast<std::size_t>(i);
        std::uint16_t unit = 0xFFFF;
        if (k < text.size()) unit = static_cast<std::uint16_t>(text[k]);
        else if (k == text.size()) unit = 0;
        put16(e + offsets[i], unit);
    }
}

/// Writes the long-name entries of text followed by its short entry at
/// entries[first...] (each 32 bytes apart, possibly running into the next
/// sector of a contiguous buffer). Returns the index of the short entry.
inline std::size_t putNamedEntry(std::uint8_t* base, std::size_t first, const std::u16string& text,
                                 const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size = 0) {
    const std::size_t count = (text.size() + 12) / 13;
    std::size_t at = first;
    for (std::size_t n = count; n >= 1; --n, ++at) {
        const auto ordinal = static_cast<std::uint8_t>(n == count ? 0x40 + n : n);
        putLongEntry(base + at * 32, ordinal, text, (n - 1) * 13, shortChecksum(name11));
    }
    putEntry(base + at * 32, name11, attr, cluster, size);
    return at;
}

/// FAT16 layout used by the tests: volume at sector start, 1 reserved
/// sector, 8 sectors per FAT, 512 root entries, 1 sector per cluster.
struct Fat16Layout {
    std::uint64_t start = 0;
    std::uint32_t reserved = 1;
    std::uint32_t sectorsPerFat = 8;
    std::uint32_t rootEntries = 512;
    std::uint32_t spc = 1;
    std::uint64_t fat1() const { return start + reserved; }
    std::uint64_t root() const { return fat1() + 2 * sectorsPerFat; }
    std::uint64_t cluster0() const { return root() + rootEntries / 16 - 2 * spc; }
    std::uint64_t clusterLba(std::uint32_t c) const { return cluster0() + static_cast<std::uint64_t>(c) * spc; }
};

inline void writeFat16Boot(TestDisk& d, const Fat16Layout& l) {
    std::uint8_t* b = d.sector(l.start);
    b[13] = static_cast<std::uint8_t>(l.spc);
    put16(b + 14, static_cast<std::uint16_t>(l.reserved));
    put16(b + 17, static_cast<std::uint16_t>(l.rootEntries));
    put16(b + 22, static_cast<std::uint16_t>(l.sectorsPerFat));
    b[510] = 0x55;
    b[511] = 0xAA;
    for (int f = 0; f < 2; ++f) {
        std::uint8_t* fat = d.sector(l.fat1() + static_cast<std::uint64_t>(f) * l.sectorsPerFat);
        put16(fat, 0xFFF8);
        put16(fat + 2, 0xFFFF);
    }
}

inline void setFat16(TestDisk& d, const Fat16Layout& l, std::uint32_t cluster, std::uint16_t value) {
    put16(d.sector(l.fat1() + (cluster >> 8)) + (cluster & 0xFF) * 2, value);
}

/// "." and ".." entries at the start of a directory cluster.
inline void putDotEntries(std::uint8_t* c, std::uint32_t self, std::uint32_t parent, std::uint16_t date = 0,
                          std::uint16_t time = 0) {
    putEntry(c, ".          ", 0x10, self, 0, date, time);
    putEntry(c + 32, "..         ", 0x10, parent, 0, date, time);
}

inline FatVolume fat16Volume(TestDisk& d, const Fat16Layout& l) {
    FatVolume v;
    v.kind = "FAT16";
    v.params.sectorsPerFat = l.sectorsPerFat;
    v.params.sectorsPerCluster = l.spc;
    v.params.rootSectors = l.rootEntries / 16;
    v.params.rootStart = static_cast<std::uint32_t>(l.root());
    v.params.reservedSectors = l.reserved;
    v.params.cluster0Start = static_cast<std::uint32_t>(l.cluster0());
    v.params.firstFatStart = static_cast<std::uint32_t>(l.fat1());
    v.params.secondFatStart = static_cast<std::uint32_t>(l.fat1() + l.sectorsPerFat);
    v.range = d.range(l.start, d.sectors());
    v.endSector = d.sectors();
    return v;
}

}  // namespace qvx::fat::test

#pragma once
// Writes GUID partition tables into test disks: the protective MBR, the
// primary header at LBA 1 with its entry array at LBA 2, and the backup
// array and header at the end of the disk, with their CRC32 fields. Also a
// sparse disk for sizes beyond what a test can hold in memory.

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "disk/sector_reader.h"
#include "partition/gpt.h"

namespace qvx::test {

/// A disk of any size whose sectors are zero until written.
class SparseDevice : public disk::BlockDevice {
public:
    explicit SparseDevice(std::uint64_t sectors) : m_sectors(sectors) {}
    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override {
        if (byteOffset % 512 != 0 || length % 512 != 0) return false;
        for (std::size_t done = 0; done < length; done += 512) {
            const std::uint64_t lba = byteOffset / 512 + done / 512;
            if (lba >= m_sectors) return false;
            const auto it = m_data.find(lba);
            if (it == m_data.end()) std::memset(out + done, 0, 512);
            else std::memcpy(out + done, it->second.data(), 512);
        }
        return true;
    }
    std::uint64_t sizeBytes() const override { return m_sectors * 512; }
    std::uint8_t* sector(std::uint64_t lba) { return m_data[lba].data(); }

private:
    std::uint64_t m_sectors;
    std::map<std::uint64_t, std::array<std::uint8_t, 512>> m_data;
};

class SparseDisk {
public:
    explicit SparseDisk(std::uint64_t sectors) : m_dev(std::make_shared<SparseDevice>(sectors)), m_sectors(sectors) {}
    std::uint8_t* sector(std::uint64_t lba) { return m_dev->sector(lba); }
    std::uint64_t sectors() const { return m_sectors; }
    std::unique_ptr<disk::SectorReader> reader(int index = 0) const {
        auto r = std::make_unique<disk::SectorReader>();
        r->attachDevice(index, m_dev);
        return r;
    }

private:
    std::shared_ptr<SparseDevice> m_dev;
    std::uint64_t m_sectors;
};

struct GptPart {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
    std::uint8_t typeByte = 0xA2;  // first byte of the type GUID; 0 with the rest zero means unused
};

inline void putLe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline constexpr std::uint32_t kGptEntries = 128;
inline constexpr std::uint32_t kGptEntrySize = 128;
inline constexpr std::uint64_t kGptArraySectors = kGptEntries * kGptEntrySize / 512;  // 32

/// The entry array as bytes.
inline std::vector<std::uint8_t> gptArray(const std::vector<GptPart>& parts) {
    std::vector<std::uint8_t> a(kGptEntries * kGptEntrySize, 0);
    for (std::size_t i = 0; i < parts.size() && i < kGptEntries; ++i) {
        std::uint8_t* e = a.data() + i * kGptEntrySize;
        if (parts[i].typeByte == 0) continue;
        e[0] = parts[i].typeByte;
        e[15] = 0x5A;
        e[16] = static_cast<std::uint8_t>(i + 1);  // unique GUID
        putLe(e + 32, parts[i].first, 8);
        putLe(e + 40, parts[i].last, 8);
    }
    return a;
}

/// A header at headerLba whose array is at arrayLba.
template <class Disk>
void writeGptHeader(Disk& disk, std::uint64_t headerLba, std::uint64_t otherLba, std::uint64_t arrayLba,
                    const std::vector<std::uint8_t>& array) {
    std::uint8_t* h = disk.sector(headerLba);
    std::memset(h, 0, 512);
    std::memcpy(h, "EFI PART", 8);
    putLe(h + 8, 0x00010000, 4);
    putLe(h + 12, 92, 4);
    putLe(h + 24, headerLba, 8);
    putLe(h + 32, otherLba, 8);
    putLe(h + 40, 34, 8);
    putLe(h + 48, disk.sectors() - 34, 8);
    putLe(h + 72, arrayLba, 8);
    putLe(h + 80, kGptEntries, 4);
    putLe(h + 84, kGptEntrySize, 4);
    putLe(h + 88, partition::gptCrc32(array.data(), array.size()), 4);
    putLe(h + 16, partition::gptCrc32(h, 92), 4);
}

/// Protective MBR plus primary and backup tables listing parts.
template <class Disk>
void writeGpt(Disk& disk, const std::vector<GptPart>& parts) {
    const std::uint64_t last = disk.sectors() - 1;
    std::uint8_t* mbr = disk.sector(0);
    mbr[0x1BE + 4] = partition::kProtectiveType;
    putLe(mbr + 0x1BE + 8, 1, 4);
    putLe(mbr + 0x1BE + 12, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : last, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const std::vector<std::uint8_t> array = gptArray(parts);
    const std::uint64_t backupArray = last - kGptArraySectors;
    for (std::uint64_t s = 0; s < kGptArraySectors; ++s) {
        std::memcpy(disk.sector(2 + s), array.data() + s * 512, 512);
        std::memcpy(disk.sector(backupArray + s), array.data() + s * 512, 512);
    }
    writeGptHeader(disk, 1, last, 2, array);
    writeGptHeader(disk, last, 1, backupArray, array);
}

/// Boot-sector signatures for disks other than MemoryDisk.
template <class Disk>
void ntfsBootAt(Disk& disk, std::uint64_t lba, std::uint64_t totalSectors) {
    std::uint8_t* s = disk.sector(lba);
    std::memcpy(s + 3, "NTFS    ", 8);
    putLe(s + 40, totalSectors, 8);
    s[510] = 0x55;
    s[511] = 0xAA;
}

}  // namespace qvx::test

#pragma once
// Builds small in-memory disks for tests: partition table slots, extended
// boot records and boot-sector signatures written at chosen sectors.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/sector_reader.h"

namespace qvx::test {

class MemoryDisk {
public:
    explicit MemoryDisk(std::uint64_t sectors) : m_dev(std::make_shared<disk::MemoryDevice>(std::vector<std::uint8_t>(sectors * 512))) {}

    std::uint8_t* sector(std::uint64_t lba) { return m_dev->data().data() + lba * 512; }
    std::uint64_t sectors() const { return m_dev->sizeBytes() / 512; }
    std::shared_ptr<disk::MemoryDevice> device() const { return m_dev; }

    void bootMarker(std::uint64_t lba) {
        sector(lba)[510] = 0x55;
        sector(lba)[511] = 0xAA;
    }
    void slot(std::uint64_t tableLba, int k, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
        std::uint8_t* e = sector(tableLba) + 0x1BE + 16 * k;
        e[4] = type;
        put32(e + 8, first);
        put32(e + 12, count);
    }
    void text(std::uint64_t lba, std::size_t offset, const std::string& s) {
        std::memcpy(sector(lba) + offset, s.data(), s.size());
    }
    void put32At(std::uint64_t lba, std::size_t offset, std::uint32_t v) { put32(sector(lba) + offset, v); }
    void put16At(std::uint64_t lba, std::size_t offset, std::uint16_t v) {
        sector(lba)[offset] = static_cast<std::uint8_t>(v);
        sector(lba)[offset + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    /// Boot sectors as the partition reader and search recognise them.
    void fat32Boot(std::uint64_t lba, std::uint32_t totalSectors) {
        text(lba, 82, "FAT32   ");
        put32At(lba, 32, totalSectors);
        bootMarker(lba);
    }
    void fat16Boot(std::uint64_t lba, std::uint32_t totalSectors) {
        text(lba, 54, "FAT16   ");
        put32At(lba, 32, totalSectors);
        bootMarker(lba);
    }
    void ntfsBoot(std::uint64_t lba, std::uint64_t totalSectors) {
        text(lba, 3, "NTFS    ");
        put32At(lba, 40, static_cast<std::uint32_t>(totalSectors));
        put32At(lba, 44, static_cast<std::uint32_t>(totalSectors >> 32));
        bootMarker(lba);
    }

    /// A reader with this disk attached as disk index.
    std::unique_ptr<disk::SectorReader> reader(int index = 0) const {
        auto r = std::make_unique<disk::SectorReader>();
        r->attachDevice(index, m_dev);
        return r;
    }

private:
    static void put32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::shared_ptr<disk::MemoryDevice> m_dev;
};

}  // namespace qvx::test

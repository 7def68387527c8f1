#pragma once
// A sparse in-memory disk decoded from a fuzzer input, so that a few
// sectors far apart (a partition table, its extended boot records, a boot
// sector and its backup, the first MFT records) fit into a small input.
//
// Input layout:
//   0  4  disk size in sectors (clamped to 1..maxSectors)
//   4  1  selector byte, free for the target
//   5  3  unused
//   8  .. records of 516 bytes: u32 LBA (taken modulo the disk size), then
//         the 512 bytes of that sector; a short last record is zero-padded.
// Sectors no record names read as zeros; reads past the end fail.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "disk/sector_reader.h"
#include "partition/validate_volume.h"

namespace qvx::fuzz {

inline constexpr std::size_t kHeaderBytes = 8;
inline constexpr std::size_t kRecordBytes = 4 + disk::kSectorSize;

class SparseDevice : public disk::BlockDevice {
public:
    using Sector = std::array<std::uint8_t, disk::kSectorSize>;

    SparseDevice(const std::uint8_t* data, std::size_t size, std::uint64_t maxSectors) {
        std::uint32_t sectors = 0;
        for (std::size_t i = 0; i < 4 && i < size; ++i) sectors |= static_cast<std::uint32_t>(data[i]) << (8 * i);
        m_sectors = std::clamp<std::uint64_t>(sectors, 1, maxSectors);
        m_selector = size > 4 ? data[4] : 0;
        for (std::size_t pos = kHeaderBytes; pos + 4 <= size; pos += kRecordBytes) {
            std::uint32_t lba = 0;
            for (std::size_t i = 0; i < 4; ++i) lba |= static_cast<std::uint32_t>(data[pos + i]) << (8 * i);
            Sector& s = m_data[lba % m_sectors];
            s.fill(0);
            const std::size_t avail = std::min<std::size_t>(disk::kSectorSize, size - pos - 4);
            std::memcpy(s.data(), data + pos + 4, avail);
        }
    }

    bool readAt(std::uint64_t byteOffset, std::size_t length, std::uint8_t* out) override {
        const std::uint64_t total = m_sectors * disk::kSectorSize;
        if (byteOffset > total || length > total - byteOffset) return false;
        while (length > 0) {
            const std::uint64_t lba = byteOffset / disk::kSectorSize;
            const std::size_t within = static_cast<std::size_t>(byteOffset % disk::kSectorSize);
            const std::size_t n = std::min<std::size_t>(length, disk::kSectorSize - within);
            const auto it = m_data.find(lba);
            if (it == m_data.end())
                std::memset(out, 0, n);
            else
                std::memcpy(out, it->second.data() + within, n);
            out += n;
            byteOffset += n;
            length -= n;
        }
        return true;
    }
    std::uint64_t sizeBytes() const override { return m_sectors * disk::kSectorSize; }

    std::uint64_t sectors() const { return m_sectors; }
    std::uint8_t selector() const { return m_selector; }

private:
    std::uint64_t m_sectors = 1;
    std::uint8_t m_selector = 0;
    std::map<std::uint64_t, Sector> m_data;
};

/// A reader with the input's disk attached as disk 0.
struct FuzzDisk {
    FuzzDisk(const std::uint8_t* data, std::size_t size, std::uint64_t maxSectors)
        : device(std::make_shared<SparseDevice>(data, size, maxSectors)) {
        reader.attachDevice(0, device);
    }
    /// The whole disk as one volume.
    partition::VolumeRange wholeRange() {
        partition::VolumeRange range;
        range.reader = &reader;
        range.SectorRangeStart = 0;
        range.SectorRangeEnd = device->sectors() - 1;
        return range;
    }
    std::shared_ptr<SparseDevice> device;
    disk::SectorReader reader;
};

}  // namespace qvx::fuzz

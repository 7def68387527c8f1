#include "disk/sector_size.h"

#include <array>
#include <cstring>
#include <vector>

#include "disk/sector_reader.h"
#include "util/le.h"

namespace qvx::disk {

namespace {

constexpr std::size_t kBootBytesPerSector = 0x0B;  // u16
constexpr std::size_t kSlotTable = 0x1BE;
constexpr std::size_t kSlotSize = 16;
constexpr std::size_t kSlotType = 4;
constexpr std::size_t kSlotFirst = 8;
constexpr std::size_t kSlotCount = 12;
constexpr std::array<std::uint32_t, 3> kLargeSizes = {4096, 2048, 1024};

bool readBytes(BlockDevice& device, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    if (offset > device.sizeBytes() || size > device.sizeBytes() - offset) return false;
    return device.readAt(offset, size, out);
}

bool hasGptSignature(BlockDevice& device, std::uint64_t offset) {
    std::uint8_t head[8] = {};
    return readBytes(device, offset, head, sizeof head) && std::memcmp(head, "EFI PART", 8) == 0;
}

/// Bytes per sector a volume boot sector declares (NTFS, FAT16, FAT32), or 0
/// when the sector is not one.
std::uint32_t bootSectorSize(const std::uint8_t* sector) {
    const util::Bytes b(sector, kSectorSize);
    if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    const bool ntfs = util::bytesEqual(b, 3, "NTFS    ");
    const bool fat = util::bytesEqual(b, 82, "FAT32   ") || util::bytesEqual(b, 54, "FAT16   ") ||
                     util::bytesEqual(b, 54, "FAT12   ");
    if (!ntfs && !fat) return 0;
    return validLogicalSectorSize(util::le16(b, kBootBytesPerSector));
}

std::uint32_t bootSectorSizeAt(BlockDevice& device, std::uint64_t offset) {
    std::uint8_t sector[kSectorSize] = {};
    return readBytes(device, offset, sector, sizeof sector) ? bootSectorSize(sector) : 0;
}

}  // namespace

std::uint32_t validLogicalSectorSize(std::uint64_t bytes) {
    return bytes >= 512 && bytes <= kMaxLogicalSectorSize && (bytes & (bytes - 1)) == 0
               ? static_cast<std::uint32_t>(bytes)
               : 0;
}

std::uint32_t detectLogicalSectorSize(BlockDevice& device) {
    const std::uint32_t declared = device.logicalSectorSize();
    if (device.sectorSizeDeclared() || declared != kSectorSize)
        return validLogicalSectorSize(declared) != 0 ? declared : kSectorSize;

    if (hasGptSignature(device, kSectorSize)) return kSectorSize;
    for (std::uint32_t size : kLargeSizes)
        if (hasGptSignature(device, size)) return size;

    std::uint8_t sector0[kSectorSize] = {};
    if (!readBytes(device, 0, sector0, sizeof sector0)) return kSectorSize;
    if (const std::uint32_t size = bootSectorSize(sector0)) return size;
    if (sector0[510] != 0x55 || sector0[511] != 0xAA) return kSectorSize;

    // A protective MBR whose primary GPT header is gone: the backup header
    // is the disk's last logical sector.
    const util::Bytes b(sector0, kSectorSize);
    bool protective = false;
    for (std::size_t k = 0; k < 4; ++k) protective = protective || util::le8(b, kSlotTable + kSlotSize * k + kSlotType) == 0xEE;
    if (protective) {
        const std::uint64_t size = device.sizeBytes();
        if (size >= kSectorSize && hasGptSignature(device, size / kSectorSize * kSectorSize - kSectorSize))
            return kSectorSize;
        for (std::uint32_t large : kLargeSizes)
            if (size >= large && hasGptSignature(device, size / large * large - large)) return large;
        return kSectorSize;
    }

    // An MBR: the first volume slot decides. Counted in 512-byte sectors it
    // must not already land on a boot sector; counted in a larger size it
    // must land on one declaring that size.
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t at = kSlotTable + kSlotSize * k;
        const std::uint8_t type = util::le8(b, at + kSlotType);
        const std::uint64_t first = util::le32(b, at + kSlotFirst);
        const std::uint64_t count = util::le32(b, at + kSlotCount);
        if (type == 0 || type == 0x05 || type == 0x0F || type == 0xEE || first == 0) continue;
        if (bootSectorSizeAt(device, first * kSectorSize) != 0) return kSectorSize;
        for (std::uint32_t size : kLargeSizes)
            if (bootSectorSizeAt(device, first * size) == size) return size;
        // The first sector may be destroyed: NTFS keeps a copy in the
        // partition's last sector.
        if (count > 0) {
            for (std::uint32_t size : kLargeSizes)
                if (bootSectorSizeAt(device, (first + count - 1) * size) == size) return size;
        }
        return kSectorSize;
    }
    return kSectorSize;
}

}  // namespace qvx::disk

#include "disk/sector_size.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "disk/sector_reader.h"

namespace qvx::disk {
namespace {

std::vector<std::uint8_t> image(std::size_t bytes) { return std::vector<std::uint8_t>(bytes, 0); }

void bootSector(std::vector<std::uint8_t>& img, std::size_t at, std::uint16_t bytesPerSector, const char* kind) {
    std::uint8_t* s = img.data() + at;
    if (std::strcmp(kind, "NTFS") == 0) std::memcpy(s + 3, "NTFS    ", 8);
    else std::memcpy(s + 82, "FAT32   ", 8);
    s[11] = static_cast<std::uint8_t>(bytesPerSector);
    s[12] = static_cast<std::uint8_t>(bytesPerSector >> 8);
    s[510] = 0x55;
    s[511] = 0xAA;
}

void mbrSlot(std::vector<std::uint8_t>& img, std::uint8_t type, std::uint32_t first) {
    std::uint8_t* e = img.data() + 0x1BE;
    e[4] = type;
    std::memcpy(e + 8, &first, 4);
    img[510] = 0x55;
    img[511] = 0xAA;
}

std::uint32_t detect(std::vector<std::uint8_t> img) {
    MemoryDevice dev(std::move(img));
    return detectLogicalSectorSize(dev);
}

/// A device whose size is stated by the kernel or the container.
class DeclaringDevice : public MemoryDevice {
public:
    DeclaringDevice(std::vector<std::uint8_t> data, std::uint32_t size) : MemoryDevice(std::move(data)), m_size(size) {}
    std::uint32_t logicalSectorSize() const override { return m_size; }
    bool sectorSizeDeclared() const override { return true; }

private:
    std::uint32_t m_size;
};

TEST(LogicalSectorSize, GptHeaderAtOneLogicalSector) {
    auto img = image(64 * 1024);
    std::memcpy(img.data() + 4096, "EFI PART", 8);
    EXPECT_EQ(detect(img), 4096u);
    std::memcpy(img.data() + 512, "EFI PART", 8);
    EXPECT_EQ(detect(img), 512u) << "a header at byte 512 means 512-byte sectors";
    auto small = image(64 * 1024);
    std::memcpy(small.data() + 2048, "EFI PART", 8);
    EXPECT_EQ(detect(small), 2048u);
}

TEST(LogicalSectorSize, BackupGptHeaderWhenThePrimaryIsGone) {
    auto img = image(64 * 1024);
    mbrSlot(img, 0xEE, 1);
    std::memcpy(img.data() + img.size() - 4096, "EFI PART", 8);
    EXPECT_EQ(detect(img), 4096u);
    std::memcpy(img.data() + img.size() - 512, "EFI PART", 8);
    EXPECT_EQ(detect(img), 512u);
}

TEST(LogicalSectorSize, BootSectorOfAWholeDiskVolume) {
    auto img = image(16 * 1024);
    bootSector(img, 0, 4096, "NTFS");
    EXPECT_EQ(detect(img), 4096u);
    bootSector(img, 0, 512, "FAT32");
    EXPECT_EQ(detect(img), 512u);
    bootSector(img, 0, 3000, "NTFS");  // no sector size at all
    EXPECT_EQ(detect(img), 512u);
}

TEST(LogicalSectorSize, MbrSlotLandsOnABootSectorOfThatSize) {
    auto img = image(2 * 1024 * 1024);
    mbrSlot(img, 0x07, 256);
    bootSector(img, 256 * 4096, 4096, "NTFS");
    EXPECT_EQ(detect(img), 4096u);

    auto ordinary = image(2 * 1024 * 1024);
    mbrSlot(ordinary, 0x0C, 256);
    bootSector(ordinary, 256 * 512, 512, "FAT32");
    EXPECT_EQ(detect(ordinary), 512u);

    // A 4096-byte boot sector must also declare 4096 bytes per sector.
    auto mismatch = image(2 * 1024 * 1024);
    mbrSlot(mismatch, 0x07, 256);
    bootSector(mismatch, 256 * 4096, 512, "NTFS");
    EXPECT_EQ(detect(mismatch), 512u);
}

TEST(LogicalSectorSize, NothingToGoByIs512) {
    EXPECT_EQ(detect(image(0)), 512u);
    EXPECT_EQ(detect(image(600)), 512u);
    auto img = image(8192);
    mbrSlot(img, 0x07, 0xFFFFFFF0u);  // a slot far past the image's end
    EXPECT_EQ(detect(img), 512u);
}

TEST(LogicalSectorSize, DeclaredSizeWins) {
    auto img = image(64 * 1024);
    std::memcpy(img.data() + 4096, "EFI PART", 8);
    DeclaringDevice kernel512(img, 512);
    EXPECT_EQ(detectLogicalSectorSize(kernel512), 512u) << "the kernel's size is not second-guessed";
    DeclaringDevice kernel4k(image(4096), 4096);
    EXPECT_EQ(detectLogicalSectorSize(kernel4k), 4096u);
    DeclaringDevice absurd(image(4096), 3000);
    EXPECT_EQ(detectLogicalSectorSize(absurd), 512u);
}

TEST(LogicalSectorSize, ReaderCachesItPerDiskAndForgetsOnAttach) {
    auto img = image(64 * 1024);
    std::memcpy(img.data() + 4096, "EFI PART", 8);
    SectorReader reader;
    reader.attachDevice(3, std::make_shared<MemoryDevice>(img));
    EXPECT_EQ(reader.logicalSectorSize(3), 4096u);
    EXPECT_EQ(reader.sectorUnits(3), 8u);
    reader.attachDevice(3, std::make_shared<MemoryDevice>(image(4096)));
    EXPECT_EQ(reader.sectorUnits(3), 1u);
    EXPECT_EQ(reader.logicalSectorSize(7), 512u) << "no disk attached";
    EXPECT_EQ(reader.logicalSectorSize(-1), 512u);
}

}  // namespace
}  // namespace qvx::disk

#include "disk/sector_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace qvx::disk {
namespace {

std::vector<std::uint8_t> numberedSectors(int n) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(n) * 512);
    for (int s = 0; s < n; ++s) std::fill_n(data.begin() + s * 512, 512, static_cast<std::uint8_t>(s + 1));
    return data;
}

TEST(SectorReader, DeviceNamesMapToDiskIndexes) {
    EXPECT_EQ(PhysicalDriveNames[0], "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(PhysicalDriveNames[9][17], '9');
    EXPECT_EQ(diskIndexOfDeviceName(PhysicalDriveNames[3]), 3);
    EXPECT_EQ(diskIndexOfDeviceName("\\\\.\\PhysicalDrive10"), -1);
    EXPECT_EQ(diskIndexOfDeviceName("/dev/sda"), -1);
}

TEST(SectorReader, WholeRunReadsInOneRequest) {
    auto dev = std::make_shared<MemoryDevice>(numberedSectors(8));
    SectorReader reader;
    reader.attachDevice(2, dev);
    int hookCalls = 0;
    reader.setReadFailureHook([&] { ++hookCalls; });
    std::vector<std::uint8_t> buf(3 * 512);
    EXPECT_EQ(reader.ReadSectors(PhysicalDriveNames[2], 4, 3, buf.data()), 1);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(buf[1024 + 511], 7);
    EXPECT_EQ(dev->readCalls.load(), 1);
    EXPECT_EQ(hookCalls, 0);
    EXPECT_EQ(reader.totalSectors(2), 8u);
}

TEST(SectorReader, FailedBulkReadRetriesSectorBySectorAndKeepsUnreadableBytes) {
    auto dev = std::make_shared<MemoryDevice>(numberedSectors(8));
    dev->badSectors = {2};
    SectorReader reader;
    reader.attachDevice(0, dev);
    int hookCalls = 0;
    reader.setReadFailureHook([&] { ++hookCalls; });
    std::vector<std::uint8_t> buf(4 * 512, 0xEE);
    EXPECT_EQ(reader.ReadSectors(0, 1, 4, buf.data()), 0);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(buf[0], 2);            // sector 1
    EXPECT_EQ(buf[512], 0xEE);       // sector 2 unreadable: left as it was
    EXPECT_EQ(buf[1024], 4);         // sector 3
    EXPECT_EQ(buf[1536 + 511], 5);   // sector 4
    EXPECT_EQ(dev->readCalls.load(), 1 + 4);
}

TEST(SectorReader, ReadPastTheEndTakesTheRetryPath) {
    auto dev = std::make_shared<MemoryDevice>(numberedSectors(4));
    SectorReader reader;
    reader.attachDevice(0, dev);
    int hookCalls = 0;
    reader.setReadFailureHook([&] { ++hookCalls; });
    std::vector<std::uint8_t> buf(3 * 512, 0);
    EXPECT_EQ(reader.ReadSectors(0, 3, 3, buf.data()), 0);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[512], 0);
    // Far beyond 2^32 sectors: fails the same way, never wraps.
    EXPECT_EQ(reader.ReadSectors(0, (1ull << 32) + 5, 3, buf.data()), 0);
    EXPECT_EQ(hookCalls, 2);
}

TEST(SectorReader, SectorsPastTheEndAreNotRetriedOneByOne) {
    auto dev = std::make_shared<MemoryDevice>(numberedSectors(4));
    SectorReader reader;
    reader.attachDevice(0, dev);
    std::vector<std::uint8_t> buf(2048 * 512, 0);
    // Two sectors inside, 2046 outside: one bulk read, two retries.
    EXPECT_EQ(reader.ReadSectors(0, 2, 2048, buf.data()), 0);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[512], 4);
    EXPECT_EQ(dev->readCalls.load(), 1 + 2);
    // Wholly past the end: the bulk read only.
    dev->readCalls = 0;
    EXPECT_EQ(reader.ReadSectors(0, 1u << 31, 2048, buf.data()), 0);
    EXPECT_EQ(dev->readCalls.load(), 1);
}

TEST(SectorReader, UnopenableDeviceReturnsZeroWithoutHook) {
    SectorReader reader;
    reader.attachPath(1, "/nonexistent/qvx-disk.img");
    int hookCalls = 0;
    reader.setReadFailureHook([&] { ++hookCalls; });
    std::vector<std::uint8_t> buf(512, 0x11);
    EXPECT_EQ(reader.ReadSectors(PhysicalDriveNames[1], 0, 1, buf.data()), 0);
    EXPECT_EQ(reader.ReadSectors(PhysicalDriveNames[5], 0, 1, buf.data()), 0);  // nothing attached
    EXPECT_EQ(reader.ReadSectors("garbage", 0, 1, buf.data()), 0);
    EXPECT_EQ(hookCalls, 0);
    EXPECT_EQ(buf[0], 0x11);
    std::string error;
    EXPECT_FALSE(reader.open(1, error));
    EXPECT_NE(error.find("qvx-disk.img"), std::string::npos);
    EXPECT_EQ(reader.PlatformMode(), 'N');
}

TEST(SectorReader, ImageFileIsReadAtByteOffsetLbaTimes512AndNeverWritten) {
    const auto path = std::filesystem::temp_directory_path() / ("qvx-reader-" + std::to_string(::getpid()) + ".img");
    {
        std::ofstream out(path, std::ios::binary);
        auto data = numberedSectors(6);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    const auto before = std::filesystem::last_write_time(path);
    SectorReader reader;
    reader.attachPath(0, path.string());
    std::vector<std::uint8_t> buf(2 * 512);
    EXPECT_EQ(reader.ReadSectors(0, 4, 2, buf.data()), 1);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(buf[512], 6);
    EXPECT_EQ(reader.totalSectors(0), 6u);
    EXPECT_EQ(std::filesystem::last_write_time(path), before);

    // The kept descriptor is read-only.
    std::string error;
    ASSERT_TRUE(reader.open(0, error));
    bool foundReadOnly = false;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec) == path) {
            const int flags = ::fcntl(std::stoi(fd.path().filename().string()), F_GETFL);
            EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
            foundReadOnly = true;
        }
    }
    EXPECT_TRUE(foundReadOnly);
    std::filesystem::remove(path);
}

struct CopyAll {
    const std::uint8_t* from;
    std::uint8_t* to;
    std::size_t size;
};

void copyAll(void* context) {
    auto& c = *static_cast<CopyAll*>(context);
    for (std::size_t i = 0; i < c.size; ++i) c.to[i] = c.from[i];
}

TEST(SectorReader, ImageFileIsMappedAsItReadsAndAFileShrunkUnderTheMappingFaultsOnlyInsideTheGuard) {
    const auto path = std::filesystem::temp_directory_path() / ("qvx-map-" + std::to_string(::getpid()) + ".img");
    constexpr int kSectors = 64;
    {
        std::ofstream out(path, std::ios::binary);
        auto data = numberedSectors(kSectors);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    SectorReader reader;
    reader.attachPath(0, path.string());
    // Any sector, not only a page's first: the mapping starts on a page and
    // the bytes where asked.
    MappedBytes mapped = reader.mapSectors(0, 3, 40);
    ASSERT_TRUE(mapped);
    ASSERT_EQ(mapped.size(), 40u * 512);
    std::vector<std::uint8_t> read(40 * 512);
    ASSERT_EQ(reader.ReadSectors(0, 3, 40, read.data()), 1);
    std::vector<std::uint8_t> copy(read.size());
    CopyAll all{mapped.data(), copy.data(), copy.size()};
    EXPECT_TRUE(runGuarded(copyAll, &all));
    EXPECT_EQ(copy, read);
    // Nothing past the end, nothing empty.
    EXPECT_FALSE(reader.mapSectors(0, kSectors - 2, 3));
    EXPECT_FALSE(reader.mapSectors(0, 0, 0));
    EXPECT_FALSE(reader.mapSectors(0, UINT64_MAX >> 9, 1));

    // The file loses its end under the mapping: its pages there fault. The
    // guard turns that into false, and the thread goes on.
    std::filesystem::resize_file(path, 4096);
    CopyAll lost{mapped.data(), copy.data(), copy.size()};
    EXPECT_FALSE(runGuarded(copyAll, &lost));
    CopyAll kept{mapped.data(), copy.data(), 4096 - 3 * 512};
    EXPECT_TRUE(runGuarded(copyAll, &kept));
    EXPECT_EQ(copy[0], 4);
    mapped = MappedBytes();
    std::filesystem::remove(path);
}

TEST(SectorReader, MemoryDeviceMapsInPlaceExceptOverABadSector) {
    auto device = std::make_shared<MemoryDevice>(numberedSectors(8));
    device->badSectors = {5};
    SectorReader reader;
    reader.attachDevice(0, device);
    const MappedBytes mapped = reader.mapSectors(0, 1, 4);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped.data(), device->data().data() + 512);
    EXPECT_FALSE(reader.mapSectors(0, 4, 2));
    EXPECT_FALSE(reader.mapSectors(0, 7, 2));
    device->mappable = false;
    EXPECT_FALSE(reader.mapSectors(0, 1, 4));
}

TEST(SectorReader, DirectoryIsRefused) {
    std::string error;
    EXPECT_EQ(openFileDevice("/", error), nullptr);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace qvx::disk

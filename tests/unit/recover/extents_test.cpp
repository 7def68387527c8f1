// The copier: extents in file order, sparse runs, initialized size, reads
// bounded to the volume, unreadable sectors, compression units, and the
// file sink's holes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "disk/sector_reader.h"
#include "recover/extents.h"

namespace {

using namespace qvx;
using recover::Extent;
using recover::FileLayout;

struct Disk {
    std::shared_ptr<disk::MemoryDevice> device;
    disk::SectorReader reader;
    partition::VolumeRange range;

    explicit Disk(std::size_t sectors) {
        std::vector<std::uint8_t> data(sectors * 512);
        // Every byte tells its sector: sector s is filled with s & 0xFF,
        // its first byte made 0x80 | (s >> 8) so sectors are distinct.
        for (std::size_t s = 0; s < sectors; ++s)
            for (std::size_t i = 0; i < 512; ++i) data[s * 512 + i] = static_cast<std::uint8_t>(i == 0 ? 0x80 | (s >> 8) : s);
        device = std::make_shared<disk::MemoryDevice>(std::move(data));
        reader.attachDevice(0, device);
        range.reader = &reader;
        range.diskIndex = 0;
        range.SectorRangeStart = 0;
        range.SectorRangeEnd = sectors - 1;
    }
    std::vector<std::uint8_t> sector(std::size_t s) const {
        return {device->data().begin() + s * 512, device->data().begin() + (s + 1) * 512};
    }
};

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Copier, FragmentedAndSparseExtentsInFileOrderCutAtSize) {
    Disk d(64);
    FileLayout layout;
    layout.append(Extent{10, 2, false});
    layout.append(Extent{0, 1, true});
    layout.append(Extent{3, 1, false});
    layout.size = 4 * 512 - 100;
    recover::MemorySink sink;
    const auto r = recover::copyFile(d.range, layout, sink);
    EXPECT_TRUE(r.complete());
    const std::vector<std::uint8_t> zeros(512, 0);
    auto expected = concat({d.sector(10), d.sector(11), zeros, d.sector(3)});
    expected.resize(layout.size);
    EXPECT_EQ(sink.bytes, expected);
}

TEST(Copier, AppendMergesContiguousRuns) {
    FileLayout layout;
    layout.append(Extent{10, 2, false});
    layout.append(Extent{12, 3, false});
    layout.append(Extent{0, 1, true});
    layout.append(Extent{0, 4, true});
    layout.append(Extent{20, 1, false});
    ASSERT_EQ(layout.extents.size(), 3u);
    EXPECT_EQ(layout.extents[0].sectors, 5u);
    EXPECT_EQ(layout.extents[1].sectors, 5u);
}

TEST(Copier, BytesBeyondInitializedSizeAreZeros) {
    Disk d(16);
    FileLayout layout;
    layout.append(Extent{4, 2, false});
    layout.size = 1024;
    layout.initializedSize = 700;
    recover::MemorySink sink;
    EXPECT_TRUE(recover::copyFile(d.range, layout, sink).complete());
    auto expected = concat({d.sector(4), d.sector(5)});
    std::fill(expected.begin() + 700, expected.end(), 0);
    EXPECT_EQ(sink.bytes, expected);
}

TEST(Copier, SizeBeyondExtentsIsPaddedAndReportedMissing) {
    Disk d(16);
    FileLayout layout;
    layout.append(Extent{1, 1, false});
    layout.size = 2000;
    recover::MemorySink sink;
    const auto r = recover::copyFile(d.range, layout, sink);
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(r.missingBytes, 2000u - 512u);
    EXPECT_EQ(sink.bytes.size(), 2000u);
}

TEST(Copier, SectorsOutsideTheVolumeOrUnreadableAreZerosAndCounted) {
    Disk d(64);
    d.range.SectorRangeStart = 8;
    d.range.SectorRangeEnd = 31;
    d.device->badSectors.insert(20);
    FileLayout layout;
    layout.append(Extent{6, 4, false});   // 6, 7 outside; 8, 9 inside
    layout.append(Extent{19, 2, false});  // 20 bad
    layout.append(Extent{31, 3, false});  // 32, 33 outside
    layout.size = layout.extentBytes();
    recover::MemorySink sink;
    const auto r = recover::copyFile(d.range, layout, sink);
    EXPECT_EQ(r.unreadableSectors, 2u + 1u + 2u);
    const std::vector<std::uint8_t> zeros(512, 0);
    EXPECT_EQ(sink.bytes, concat({zeros, zeros, d.sector(8), d.sector(9), d.sector(19), zeros, d.sector(31), zeros, zeros}));
}

TEST(Copier, LargeFilesAreReadInFewRequests) {
    Disk d(3 * recover::kCopyChunkSectors + 10);
    FileLayout layout;
    layout.append(Extent{5, 3 * recover::kCopyChunkSectors, false});
    layout.size = layout.extentBytes();
    recover::MemorySink sink;
    d.device->readCalls = 0;
    EXPECT_TRUE(recover::copyFile(d.range, layout, sink).complete());
    EXPECT_LE(d.device->readCalls.load(), 4);
    EXPECT_EQ(sink.bytes.size(), layout.size);
}

TEST(Copier, CompressionUnitsStoredCompressedRawOrSparse) {
    // Units of 4 sectors. Unit 0: compressed into 1 sector + 3 sparse.
    // Unit 1: stored raw (4 sectors). Unit 2: all sparse.
    Disk d(64);
    std::vector<std::uint8_t>& disk = d.device->data();
    const std::string text = "payload!";  // one flag byte covers eight literals
    std::vector<std::uint8_t> chunk = {0x00};
    chunk.insert(chunk.end(), text.begin(), text.end());
    const auto header = static_cast<std::uint16_t>((chunk.size() - 1) | 0xB000);
    std::fill(disk.begin() + 40 * 512, disk.begin() + 41 * 512, 0);
    disk[40 * 512] = static_cast<std::uint8_t>(header & 0xFF);
    disk[40 * 512 + 1] = static_cast<std::uint8_t>(header >> 8);
    std::copy(chunk.begin(), chunk.end(), disk.begin() + 40 * 512 + 2);

    FileLayout layout;
    layout.compressionUnitSectors = 4;
    layout.append(Extent{40, 1, false});
    layout.append(Extent{0, 3, true});
    layout.append(Extent{20, 4, false});
    layout.append(Extent{0, 4, true});
    layout.size = 12 * 512 - 7;
    recover::MemorySink sink;
    const auto r = recover::copyFile(d.range, layout, sink);
    EXPECT_TRUE(r.complete());
    ASSERT_EQ(sink.bytes.size(), layout.size);
    EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.begin() + static_cast<long>(text.size())), text);
    EXPECT_EQ(sink.bytes[text.size()], 0);
    EXPECT_EQ(std::vector<std::uint8_t>(sink.bytes.begin() + 2048, sink.bytes.begin() + 2560), d.sector(20));
    EXPECT_EQ(sink.bytes[8 * 512 + 5], 0);
}

/// Counts what it is given; holes cost nothing.
struct CountingSink : recover::OutputSink {
    bool write(const std::uint8_t*, std::size_t length) override { data += length; return true; }
    bool writeZeros(std::uint64_t length) override { zeros += length; return true; }
    std::uint64_t data = 0, zeros = 0;
};

TEST(Copier, HostileRunListsCostTimeOnlyForTheVolume) {
    Disk d(64);
    // A damaged record: a 1 PiB file whose runs point far past the volume,
    // one huge hole, and a run reading the volume over and over.
    FileLayout layout;
    layout.append(Extent{1ull << 40, 1ull << 40, false});
    layout.append(Extent{0, 1ull << 41, true});
    for (int i = 0; i < 1000; ++i) layout.extents.push_back(Extent{0, 64, false});
    layout.size = 1ull << 50;
    for (std::uint32_t unit : {0u, 16u}) {
        layout.compressionUnitSectors = unit;
        CountingSink sink;
        d.device->readCalls = 0;
        const auto r = recover::copyFile(d.range, layout, sink);
        EXPECT_FALSE(r.complete());
        EXPECT_EQ(sink.data + sink.zeros, layout.size);
        EXPECT_LE(d.device->readCalls.load(), 2 * 64 / 16 + 2 * 64 + 8) << "unit " << unit;
    }
}

TEST(Copier, ResidentDataIsCutToSize) {
    Disk d(4);
    FileLayout layout;
    layout.resident = true;
    layout.residentData = {1, 2, 3, 4, 5};
    layout.size = 3;
    recover::MemorySink sink;
    EXPECT_TRUE(recover::copyFile(d.range, layout, sink).complete());
    EXPECT_EQ(sink.bytes, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(Copier, FdSinkLeavesHolesAndKeepsTheSize) {
    Disk d(16);
    FileLayout layout;
    layout.append(Extent{2, 1, false});
    layout.append(Extent{0, 8, true});
    layout.size = 9 * 512;
    char name[] = "/tmp/qvx-copier-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    recover::FdSink sink(fd);
    EXPECT_TRUE(recover::copyFile(d.range, layout, sink).complete());
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), static_cast<off_t>(9 * 512));
    std::vector<std::uint8_t> back(9 * 512);
    ASSERT_EQ(::pread(fd, back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 512), d.sector(2));
    EXPECT_EQ(back.back(), 0);
    ::close(fd);
    ::unlink(name);
}

}  // namespace

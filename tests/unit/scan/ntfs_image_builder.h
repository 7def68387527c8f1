#pragma once
// Small NTFS volumes in memory for the Advance Search tests: a boot sector,
// FILE records at their MFT slots and INDX records at their clusters.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <set>
#include <vector>

#include "disk/sector_reader.h"
#include "unit/ntfs/record_builder.h"

namespace qvx::scan::test {

using ntfs::test::put16;
using ntfs::test::put32;
using ntfs::test::put64;
using ntfs::test::RecordBuilder;

/// One entry of an INDX record.
struct IndexEntry {
    std::uint32_t record = 0;
    std::uint32_t parent = 0;
    std::int64_t created = 0;
    std::string name;
    bool folder = false;
};

/// A 4096-byte INDX record protected by its update sequence, as on disk.
inline std::vector<std::uint8_t> buildIndx(std::uint32_t vcn, const std::vector<IndexEntry>& entries,
                                           std::uint16_t sequence = 0x0077) {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "INDX", 4);
    put16(b, 0x04, 0x28);  // update sequence array
    put16(b, 0x06, 9);
    put64(b, 0x10, vcn);
    put32(b, 0x18, 0x40 - 0x18);  // first entry at 0x40
    put32(b, 0x20, 4096 - 24);
    std::size_t pos = 0x40;
    for (const IndexEntry& e : entries) {
        const std::size_t length = (0x52 + 2 * e.name.size() + 7) & ~std::size_t{7};
        put64(b, pos, e.record | (std::uint64_t{1} << 48));
        put16(b, pos + 0x08, static_cast<std::uint16_t>(length));
        put16(b, pos + 0x0A, static_cast<std::uint16_t>(0x42 + 2 * e.name.size()));
        put64(b, pos + 0x10, e.parent | (std::uint64_t{1} << 48));
        put64(b, pos + 0x18, static_cast<std::uint64_t>(e.created));
        put32(b, pos + 0x48, e.folder ? 0x10000000u : 0x20u);
        b[pos + 0x50] = static_cast<std::uint8_t>(e.name.size());
        b[pos + 0x51] = 1;
        for (std::size_t i = 0; i < e.name.size(); ++i) b[pos + 0x52 + 2 * i] = static_cast<std::uint8_t>(e.name[i]);
        pos += length;
    }
    put16(b, pos + 0x08, 0x10);  // last entry
    put32(b, pos + 0x0C, 2);
    put16(b, 0x28, sequence);
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t end = 510 + 512 * i;
        b[0x2A + 2 * i] = b[end];
        b[0x2B + 2 * i] = b[end + 1];
        put16(b, end, sequence);
    }
    return b;
}

/// An NTFS boot sector: 8 sectors per cluster, $MFT at cluster 4.
inline std::vector<std::uint8_t> buildNtfsBoot(std::uint64_t totalSectors, std::uint8_t spc = 8,
                                               std::uint64_t mftCluster = 4) {
    std::vector<std::uint8_t> b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    put16(b, 0x0B, 512);
    b[0x0D] = spc;
    put64(b, 0x28, totalSectors);
    put64(b, 0x30, mftCluster);
    put64(b, 0x38, 2);
    b[0x40] = 0xF6;
    b[0x44] = 0xF4;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

/// The FILE record a RecordBuilder built (1024 bytes, protected) as a
/// record of `bytes` bytes: the header's sizes and update sequence array
/// grown to every 512-byte stride, the attributes moved to its last
/// kibibyte so that only a reader of the whole record finds them.
inline std::vector<std::uint8_t> widenRecord(std::vector<std::uint8_t> built, std::size_t bytes,
                                             std::uint16_t sequence = 0x0ABC) {
    for (int i = 0; i < 2; ++i) {
        const std::size_t end = 510 + 512 * static_cast<std::size_t>(i);
        built[end] = built[0x32 + 2 * i];
        built[end + 1] = built[0x33 + 2 * i];
    }
    const std::size_t first = 0x38 + (bytes - 1024);
    std::vector<std::uint8_t> b(bytes, 0);
    std::copy_n(built.begin(), 0x30, b.begin());
    std::copy(built.begin() + 0x38, built.end(), b.begin() + static_cast<std::ptrdiff_t>(first));
    put16(b, 0x14, static_cast<std::uint16_t>(first));
    put32(b, 0x18, static_cast<std::uint32_t>(bytes));
    put32(b, 0x1C, static_cast<std::uint32_t>(bytes));
    const std::size_t strides = bytes / 512;
    put16(b, 0x06, static_cast<std::uint16_t>(strides + 1));
    put16(b, 0x30, sequence);
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t end = 510 + 512 * i;
        b[0x32 + 2 * i] = b[end];
        b[0x33 + 2 * i] = b[end + 1];
        put16(b, end, sequence);
    }
    return b;
}

/// An NTFS boot sector of a volume made with 4096-byte sectors: one sector
/// per cluster, MFT and index records of one cluster each.
inline std::vector<std::uint8_t> buildNtfsBoot4096(std::uint64_t totalSectors, std::uint64_t mftCluster = 4) {
    std::vector<std::uint8_t> b = buildNtfsBoot(totalSectors, 1, mftCluster);
    b.resize(4096, 0);
    b[510] = 0x55;
    b[511] = 0xAA;
    put16(b, 0x0B, 4096);
    b[0x40] = 1;
    b[0x44] = 1;
    return b;
}

/// A disk image of whole sectors with helpers to place structures.
class Image {
public:
    explicit Image(std::uint64_t sectors) : m_bytes(sectors * 512, 0) {}
    void place(std::uint64_t lba, const std::vector<std::uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(lba * 512));
    }
    void zero(std::uint64_t lba, std::uint64_t sectors) {
        std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(lba * 512), sectors * 512, std::uint8_t{0});
    }
    std::vector<std::uint8_t>& bytes() { return m_bytes; }
    std::uint64_t sectors() const { return m_bytes.size() / 512; }
    /// A disk of these bytes; mappable false makes it one that is always
    /// read, as a device or container is.
    std::shared_ptr<disk::SectorReader> reader(bool mappable = true, std::set<std::uint64_t> badSectors = {}) const {
        auto reader = std::make_shared<disk::SectorReader>();
        auto device = std::make_shared<disk::MemoryDevice>(m_bytes);
        device->mappable = mappable;
        device->badSectors = std::move(badSectors);
        reader->attachDevice(0, device);
        return reader;
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

/// A folder record with an index allocation at firstCluster (0: resident index).
inline std::vector<std::uint8_t> folderRecord(std::uint32_t number, const std::string& name, std::uint32_t parent,
                                              std::int64_t created, std::uint32_t firstCluster,
                                              std::uint8_t flags = 3) {
    RecordBuilder r(flags, number);
    r.fileName(name, 1, parent, created, true);
    if (firstCluster != 0) {
        std::vector<std::uint8_t> runs{0x31, 0x01, static_cast<std::uint8_t>(firstCluster),
                                       static_cast<std::uint8_t>(firstCluster >> 8),
                                       static_cast<std::uint8_t>(firstCluster >> 16)};
        r.nonResident(0xA0, 4096, runs, "$I30");
    }
    return r.build();
}

inline std::vector<std::uint8_t> fileRecord(std::uint32_t number, const std::string& name, std::uint32_t parent,
                                            std::uint32_t size, std::uint8_t flags = 1, std::uint8_t nameSpace = 1) {
    return RecordBuilder(flags, number).fileName(name, nameSpace, parent, 1000 + number).residentData(size).build();
}

/// A small volume at volumeStart (sectors) of 8-sector clusters, MFT at
/// cluster 4: root (5) with folders "Docs" (64) and "Empty" (65), "Docs"
/// holding "Sub" (66); files "a.txt" in the root, "b.doc" in Docs, "c.bin"
/// in Sub, and a deleted "gone.txt" in Docs. The root's and Docs' first
/// index records sit at rootCluster and docsCluster.
struct SampleVolume {
    static constexpr std::uint64_t kSectors = 2048;
    static constexpr std::uint32_t kMftSector = 32;
    std::uint64_t start = 0;
    std::uint32_t rootCluster = 100;
    std::uint32_t docsCluster = 120;
    /// The volume as made with 4096-byte sectors: boot sectors of that
    /// sector size (one sector per cluster) and 4096-byte MFT records.
    bool bigSectors = false;

    void write(Image& image, bool withBoot = true) const {
        if (withBoot && bigSectors) {
            image.place(start, buildNtfsBoot4096(kSectors / 8 - 1));
            image.place(start + kSectors - 8, buildNtfsBoot4096(kSectors / 8 - 1));
        } else if (withBoot) {
            image.place(start, buildNtfsBoot(kSectors - 1));
            image.place(start + kSectors - 1, buildNtfsBoot(kSectors - 1));
        }
        const std::uint32_t recordSectors = bigSectors ? 8 : 2;
        auto slot = [&](std::uint32_t n) { return start + kMftSector + recordSectors * n; };
        auto put = [&](std::uint32_t n, std::vector<std::uint8_t> record) {
            image.place(slot(n), bigSectors ? widenRecord(std::move(record), 4096) : record);
        };
        put(0, RecordBuilder(1, 0).fileName("$MFT", 3, 5).residentData(10).build());
        put(5, folderRecord(5, ".", 5, 50, rootCluster));
        put(64, folderRecord(64, "Docs", 5, 640, docsCluster));
        put(65, folderRecord(65, "Empty", 5, 650, 0));
        put(66, folderRecord(66, "Sub", 64, 660, 0));
        put(70, fileRecord(70, "a.txt", 5, 11));
        put(71, fileRecord(71, "b.doc", 64, 22));
        put(72, fileRecord(72, "c.bin", 66, 33));
        put(73, fileRecord(73, "gone.txt", 64, 44, 0));
        image.place(start + rootCluster * 8, buildIndx(0, {{64, 5, 640, "Docs", true}, {65, 5, 650, "Empty", true},
                                                  {70, 5, 1070, "a.txt", false}}));
        image.place(start + docsCluster * 8, buildIndx(0, {{71, 64, 1071, "b.doc", false}, {66, 64, 660, "Sub", true}}));
    }
};

}  // namespace qvx::scan::test

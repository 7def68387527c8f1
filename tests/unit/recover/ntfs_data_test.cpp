// Locating an NTFS file's unnamed data from its FILE record: run lists
// (fragmented, negative offsets, sparse, malformed), resident data, sizes
// above 4 GiB, compression, and pieces held in extension records.

#include <gtest/gtest.h>

#include <map>

#include "recover/ntfs_data.h"

namespace {

using namespace qvx::recover;
using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

/// Builds a 1024-byte FILE record attribute by attribute.
struct RecordBuilder {
    Bytes rec = Bytes(1024, 0);
    std::size_t next = 0x38;
    explicit RecordBuilder(std::uint32_t number, std::uint32_t baseRef = 0) {
        rec[0] = 'F'; rec[1] = 'I'; rec[2] = 'L'; rec[3] = 'E';
        put16(rec, 0x04, 0x30);
        put16(rec, 0x06, 3);
        put16(rec, 0x14, 0x38);
        put16(rec, 0x16, 1);
        put32(rec, 0x20, baseRef);
        put32(rec, 0x2C, number);
    }
    void resident(std::uint32_t type, const Bytes& value, std::uint8_t nameLength = 0) {
        const std::size_t len = (0x18 + value.size() + 7) & ~std::size_t{7};
        put32(rec, next, type);
        put32(rec, next + 4, static_cast<std::uint32_t>(len));
        rec[next + 9] = nameLength;
        put32(rec, next + 0x10, static_cast<std::uint32_t>(value.size()));
        put16(rec, next + 0x14, 0x18);
        std::copy(value.begin(), value.end(), rec.begin() + static_cast<long>(next + 0x18));
        next += len;
        finish();
    }
    void nonResident(const Bytes& runs, std::uint64_t startVcn, std::uint64_t size, std::uint64_t init,
                     std::uint16_t flags = 0, std::uint16_t compressionUnit = 0) {
        const std::size_t len = (0x40 + runs.size() + 1 + 7) & ~std::size_t{7};
        put32(rec, next, 0x80);
        put32(rec, next + 4, static_cast<std::uint32_t>(len));
        rec[next + 8] = 1;
        put16(rec, next + 0x0C, flags);
        put64(rec, next + 0x10, startVcn);
        put16(rec, next + 0x20, 0x40);
        put16(rec, next + 0x22, compressionUnit);
        put64(rec, next + 0x30, size);
        put64(rec, next + 0x38, init);
        std::copy(runs.begin(), runs.end(), rec.begin() + static_cast<long>(next + 0x40));
        next += len;
        finish();
    }
    void finish() { put32(rec, next, 0xFFFFFFFF); }
};

Bytes fileNameValue(std::uint8_t ns, std::initializer_list<std::uint16_t> name) {
    Bytes v(0x42 + 2 * name.size(), 0);
    put32(v, 0, 5);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = ns;
    std::size_t at = 0x42;
    for (auto u : name) { put16(v, at, u); at += 2; }
    return v;
}

NtfsVolume volume(std::uint32_t spc = 8, std::uint64_t cluster0 = 1000) {
    NtfsVolume v;
    v.cluster0 = cluster0;
    v.sectorsPerCluster = spc;
    return v;
}

TEST(NtfsData, NonResidentDataWithSizesAndBestName) {
    RecordBuilder r(40);
    r.resident(0x30, fileNameValue(2, {'L', 'O', 'N', 'G', '~', '1'}));
    r.resident(0x30, fileNameValue(1, {'l', 'o', 'n', 'g', 0x0416}));
    // 6 GiB file: one run of 0x180000 clusters (4 KiB) at LCN 0x10.
    r.nonResident({0x13, 0x00, 0x00, 0x18, 0x10, 0x00}, 0, 6ull << 30, 5ull << 30);
    const NtfsFileData d = decodeNtfsFileData(volume(), r.rec, 40, nullptr);
    ASSERT_TRUE(d.found);
    EXPECT_TRUE(d.complete) << d.problem;
    EXPECT_EQ(d.name, "long\xD0\x96");  // the Win32 name, in full, rather than the DOS one
    EXPECT_EQ(d.layout.size, 6ull << 30);
    EXPECT_EQ(d.layout.initializedSize, 5ull << 30);
    ASSERT_EQ(d.layout.extents.size(), 1u);
    EXPECT_EQ(d.layout.extents[0].lba, 1000u + 0x10 * 8);
    EXPECT_EQ(d.layout.extents[0].sectors, 0x180000ull * 8);
}

TEST(NtfsData, NamedStreamsAreFoundByName) {
    RecordBuilder r(43);
    // "ads" as a named resident stream beside the unnamed data.
    Bytes ads = {'Z', 'o', 'n', 'e'};
    const std::size_t at = r.next;
    r.resident(0x80, Bytes(16, 0), 3);  // room for the name and the value, laid out below
    put16(r.rec, at + 0x0A, 0x18);
    put16(r.rec, at + 0x14, 0x20);
    put16(r.rec, at + 0x10, 4);
    put16(r.rec, at + 0x18, 'a');
    put16(r.rec, at + 0x1A, 'd');
    put16(r.rec, at + 0x1C, 's');
    std::copy(ads.begin(), ads.end(), r.rec.begin() + static_cast<long>(at + 0x20));
    r.resident(0x80, {'h', 'i'});
    NtfsFileData d = decodeNtfsFileData(volume(), r.rec, 43, nullptr, "ads");
    ASSERT_TRUE(d.found) << d.problem;
    EXPECT_EQ(d.layout.residentData, ads);
    d = decodeNtfsFileData(volume(), r.rec, 43, nullptr);
    EXPECT_EQ(d.layout.residentData, (Bytes{'h', 'i'}));
    EXPECT_FALSE(decodeNtfsFileData(volume(), r.rec, 43, nullptr, "other").found);
}

TEST(NtfsData, ResidentDataAndNamedStreamsIgnored) {
    RecordBuilder r(41);
    r.resident(0x80, {'a', 'd', 's'}, 3);  // a named stream comes first
    r.resident(0x80, {'h', 'e', 'l', 'l', 'o'});
    const NtfsFileData d = decodeNtfsFileData(volume(), r.rec, 41, nullptr);
    ASSERT_TRUE(d.found);
    EXPECT_TRUE(d.layout.resident);
    EXPECT_EQ(d.layout.residentData, (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(d.layout.size, 5u);
}

TEST(NtfsData, CompressedFlagGivesUnitSize) {
    RecordBuilder r(42);
    r.nonResident({0x11, 0x04, 0x20, 0x01, 0x0C, 0x00}, 0, 16 * 4096, 16 * 4096, 0x0001, 4);
    const NtfsFileData d = decodeNtfsFileData(volume(), r.rec, 42, nullptr);
    EXPECT_EQ(d.layout.compressionUnitSectors, 16u * 8);
    EXPECT_TRUE(d.complete);  // 4 stored clusters and 12 sparse make the one 16-cluster unit
}

std::map<std::uint32_t, Bytes> g_records;
Bytes fetch(const NtfsVolume&, std::uint32_t n) {
    auto it = g_records.find(n);
    return it == g_records.end() ? Bytes{} : it->second;
}

Bytes listEntry(std::uint32_t type, std::uint64_t startVcn, std::uint32_t record) {
    Bytes e(0x20, 0);
    put32(e, 0, type);
    put16(e, 4, 0x20);
    put64(e, 8, startVcn);
    put64(e, 0x10, record);
    return e;
}

TEST(NtfsData, DataSpreadOverExtensionRecords) {
    RecordBuilder base(50);
    Bytes list;
    for (const Bytes& e : {listEntry(0x10, 0, 50), listEntry(0x80, 0, 60), listEntry(0x80, 4, 61)})
        list.insert(list.end(), e.begin(), e.end());
    base.resident(0x20, list);
    RecordBuilder first(60, 50);
    first.nonResident({0x11, 0x04, 0x40, 0x00}, 0, 6 * 4096, 6 * 4096);  // VCN 0-3 at LCN 0x40
    RecordBuilder second(61, 50);
    second.nonResident({0x11, 0x02, 0x70, 0x00}, 4, 0, 0);  // VCN 4-5 at LCN 0x70
    g_records = {{60, first.rec}, {61, second.rec}};
    NtfsFileData d = decodeNtfsFileData(volume(), base.rec, 50, &fetch);
    ASSERT_TRUE(d.found);
    EXPECT_TRUE(d.complete) << d.problem;
    ASSERT_EQ(d.layout.extents.size(), 2u);
    EXPECT_EQ(d.layout.extents[0].lba, 1000u + 0x40 * 8);
    EXPECT_EQ(d.layout.extents[1].lba, 1000u + 0x70 * 8);
    EXPECT_EQ(d.layout.size, 6u * 4096);

    // The second extension record was reused by another file: the gap is
    // kept as zeros and the file is reported incomplete.
    RecordBuilder reused(61, 77);
    reused.nonResident({0x11, 0x02, 0x70, 0x00}, 4, 0, 0);
    g_records[61] = reused.rec;
    d = decodeNtfsFileData(volume(), base.rec, 50, &fetch);
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(d.layout.extentBytes(), 4u * 4096);
}

}  // namespace

namespace {

Bytes randomFetch(const NtfsVolume&, std::uint32_t n) {
    // Extension records full of noise that point back at record 50.
    Bytes rec(1024);
    std::uint32_t x = n * 2654435761u;
    for (auto& b : rec) { x = x * 1103515245u + 12345u; b = static_cast<std::uint8_t>(x >> 16); }
    rec[0] = 'F'; rec[1] = 'I'; rec[2] = 'L'; rec[3] = 'E';
    put32(rec, 0x20, 50);
    return rec;
}

TEST(NtfsData, MutatedRecordsNeverCrashOrLoop) {
    RecordBuilder r(50);
    Bytes list;
    for (const Bytes& e : {listEntry(0x80, 0, 60), listEntry(0x80, 4, 61)}) list.insert(list.end(), e.begin(), e.end());
    r.resident(0x20, list);
    r.resident(0x30, fileNameValue(1, {'a', 'b'}));
    r.nonResident({0x21, 0x04, 0x00, 0x01, 0x01, 0x02, 0x11, 0x03, 0xE0}, 0, 9 * 4096, 9 * 4096, 0x0001, 4);
    std::uint32_t x = 1;
    for (int round = 0; round < 3000; ++round) {
        Bytes rec = r.rec;
        const int flips = 1 + round % 12;
        for (int i = 0; i < flips; ++i) {
            x = x * 1103515245u + 12345u;
            rec[(x >> 8) % rec.size()] = static_cast<std::uint8_t>(x >> 20);
        }
        const NtfsFileData d = decodeNtfsFileData(volume(), rec, 50, &randomFetch);
        EXPECT_LE(d.layout.extents.size(), qvx::ntfs::kMaxRunsPerInstance * 2);
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>

#include "partition/validate_volume.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::partition {
namespace {

using fat::test::Fat16Layout;
using fat::test::put16;
using fat::test::put32;
using fat::test::TestDisk;

TEST(ValidateFat16, ComputesTheGeometryFromTheBootSector) {
    TestDisk d(1200);
    Fat16Layout l;
    l.start = 63;
    l.reserved = 1;
    l.sectorsPerFat = 200;
    l.rootEntries = 512;
    l.spc = 4;
    fat::test::writeFat16Boot(d, l);
    VolumeParameters p;
    ASSERT_EQ(validateFat16Volume(d.range(63, 1199), p), 1);
    EXPECT_EQ(p.rootStart, 464u);
    EXPECT_EQ(p.rootSectors, 32u);
    EXPECT_EQ(p.cluster0Start, 488u);
    EXPECT_EQ(p.firstFatStart, 64u);
    EXPECT_EQ(p.secondFatStart, 264u);
    EXPECT_EQ(p.sectorsPerFat, 200u);
    EXPECT_EQ(p.sectorsPerCluster, 4u);
    EXPECT_EQ(p.reservedSectors, 1u);
}

TEST(ValidateFat16, RejectsBadSignatureMediaByteAndClusterSize) {
    TestDisk d(100);
    Fat16Layout l;
    fat::test::writeFat16Boot(d, l);
    VolumeParameters p;
    p.rootStart = 77;
    d.sector(0)[511] = 0x00;
    EXPECT_EQ(validateFat16Volume(d.range(0, 99), p), 0);
    EXPECT_EQ(p.rootStart, 77u) << "a failed validation stores nothing";
    d.sector(0)[511] = 0xAA;
    d.sector(l.fat1() + l.sectorsPerFat)[0] = 0xF0;
    EXPECT_EQ(validateFat16Volume(d.range(0, 99), p), 0);
    d.sector(l.fat1() + l.sectorsPerFat)[0] = 0xF8;
    EXPECT_EQ(validateFat16Volume(d.range(0, 99), p), 1);
    for (std::uint8_t spc : {0, 3, 255}) {
        d.sector(0)[13] = spc;
        EXPECT_EQ(validateFat16Volume(d.range(0, 99), p), 0) << int(spc);
    }
}

TEST(ValidateFat16, UnreadableOrTruncatedVolumeIsRejected) {
    TestDisk d(10);
    VolumeParameters p;
    EXPECT_EQ(validateFat16Volume(d.range(500, 900), p), 0);
}

void writeFat32Boot(std::uint8_t* b, std::uint32_t reserved, std::uint32_t spf, std::uint8_t spc,
                    std::uint32_t rootCluster) {
    b[13] = spc;
    put16(b + 14, static_cast<std::uint16_t>(reserved));
    put32(b + 36, spf);
    put32(b + 44, rootCluster);
    b[510] = 0x55;
    b[511] = 0xAA;
}

TEST(ValidateFat32, ComputesTheGeometryAndFallsBackToTheBackup) {
    TestDisk d(400);
    const std::uint64_t s = 100;
    writeFat32Boot(d.sector(s), 32, 50, 8, 2);
    writeFat32Boot(d.sector(s + 6), 32, 50, 8, 2);
    d.sector(s + 32 + 50)[0] = 0xF8;
    VolumeParameters p;
    ASSERT_EQ(validateFat32Volume(d.range(s, 399), p), 1);
    EXPECT_EQ(p.rootStart, 2u);
    EXPECT_EQ(p.rootSectors, 0u);
    EXPECT_EQ(p.firstFatStart, 132u);
    EXPECT_EQ(p.secondFatStart, 182u);
    EXPECT_EQ(p.cluster0Start, 100u + 32 + 100 - 16);

    // Primary without signature: the copy at +6 is used.
    d.sector(s)[510] = 0;
    VolumeParameters q;
    ASSERT_EQ(validateFat32Volume(d.range(s, 399), q), 1);
    EXPECT_EQ(q.cluster0Start, p.cluster0Start);

    // Primary with a signature but wrong FAT size: the copy's fields win.
    d.sector(s)[510] = 0x55;
    put32(d.sector(s) + 36, 70);
    VolumeParameters r;
    ASSERT_EQ(validateFat32Volume(d.range(s, 399), r), 1);
    EXPECT_EQ(r.sectorsPerFat, 50u);

    // Both copies gone.
    d.sector(s)[510] = 0;
    d.sector(s + 6)[510] = 0;
    EXPECT_EQ(validateFat32Volume(d.range(s, 399), r), 0);
}

TEST(ValidateFat32, SecondFatWithoutMediaByteIsRejected) {
    TestDisk d(400);
    writeFat32Boot(d.sector(0), 32, 50, 8, 2);
    writeFat32Boot(d.sector(6), 32, 50, 8, 2);
    VolumeParameters p;
    EXPECT_EQ(validateFat32Volume(d.range(0, 399), p), 0);
}

// Volumes declaring 4096 bytes per sector: every count is kept in 512-byte
// sectors, eight to a volume sector.
TEST(ValidateFat16, FourKnVolumeIsKeptIn512ByteSectors) {
    TestDisk d(2000);
    const std::uint64_t s = 800;  // 4096-byte sector 100
    std::uint8_t* b = d.sector(s);
    put16(b + 11, 4096);
    b[13] = 1;
    put16(b + 14, 1);    // reserved
    put16(b + 17, 512);  // root entries: 16 KiB, four volume sectors
    put16(b + 22, 2);    // sectors per FAT
    b[510] = 0x55;
    b[511] = 0xAA;
    d.sector(s + (1 + 2) * 8)[0] = 0xF8;
    VolumeParameters p;
    ASSERT_EQ(validateFat16Volume(d.range(s, 1999), p), 1);
    EXPECT_EQ(p.sectorsPerCluster, 8u);
    EXPECT_EQ(p.reservedSectors, 8u);
    EXPECT_EQ(p.sectorsPerFat, 16u);
    EXPECT_EQ(p.firstFatStart, s + 8);
    EXPECT_EQ(p.secondFatStart, s + 24);
    EXPECT_EQ(p.rootStart, s + 40);
    EXPECT_EQ(p.rootSectors, 32u);
    EXPECT_EQ(p.cluster0Start, s + 40 + 32 - 16);

    // A root directory that does not fill its last sector still owns it.
    put16(b + 17, 100);
    ASSERT_EQ(validateFat16Volume(d.range(s, 1999), p), 1);
    EXPECT_EQ(p.rootSectors, 8u);
}

TEST(ValidateFat32, FourKnVolumeAndItsBackupSixVolumeSectorsIn) {
    TestDisk d(4000);
    const std::uint64_t s = 0;
    for (std::uint64_t at : {s, s + 6 * 8}) {
        writeFat32Boot(d.sector(at), 32, 10, 1, 2);
        put16(d.sector(at) + 11, 4096);
        std::memcpy(d.sector(at) + 82, "FAT32   ", 8);
    }
    d.sector(s + (32 + 10) * 8)[0] = 0xF8;
    VolumeParameters p;
    ASSERT_EQ(validateFat32Volume(d.range(s, 3999), p), 1);
    EXPECT_EQ(p.sectorsPerCluster, 8u);
    EXPECT_EQ(p.sectorsPerFat, 80u);
    EXPECT_EQ(p.firstFatStart, 256u);
    EXPECT_EQ(p.secondFatStart, 336u);
    EXPECT_EQ(p.rootStart, 2u) << "FAT32 keeps the root cluster, not a sector";
    EXPECT_EQ(p.cluster0Start, 256u + 160 - 16);

    // Primary without signature: the disk (4Kn by the boot sector) has its
    // backup 48 512-byte sectors in.
    d.sector(s)[510] = 0;
    VolumeParameters q;
    ASSERT_EQ(validateFat32Volume(d.range(s, 3999), q), 1);
    EXPECT_EQ(q.cluster0Start, p.cluster0Start);
}

}  // namespace
}  // namespace qvx::partition

// The one decoder of FAT directory entries: long names in UTF-16 checked
// against the short name's checksum, deleted long names, short names with
// the NT case flags and the OEM code page, volume labels, and long names
// whose pieces lie in the previous cluster of a fragmented directory.

#include "fat/directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fat_test_image.h"

namespace qvx::fat {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes shortEntry(const char* name11, std::uint16_t cluster, std::uint8_t attr = 0x20, std::uint8_t caseFlags = 0) {
    Bytes e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    e[12] = caseFlags;
    e[26] = static_cast<std::uint8_t>(cluster);
    e[27] = static_cast<std::uint8_t>(cluster >> 8);
    return e;
}

/// The long-name entries of a name (last piece first, as on disk).
std::vector<Bytes> longEntries(const std::u16string& name, std::uint8_t sum) {
    std::u16string padded = name;
    if (padded.size() % 13) padded.push_back(0);
    while (padded.size() % 13) padded.push_back(0xFFFF);
    const std::size_t count = padded.size() / 13;
    std::vector<Bytes> out;
    static const int offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t k = count; k-- > 0;) {
        Bytes e(32, 0);
        e[0] = static_cast<std::uint8_t>((k + 1) | (k + 1 == count ? 0x40 : 0));
        e[11] = 0x0F;
        e[13] = sum;
        for (int i = 0; i < 13; ++i) {
            e[offsets[i]] = static_cast<std::uint8_t>(padded[k * 13 + i]);
            e[offsets[i] + 1] = static_cast<std::uint8_t>(padded[k * 13 + i] >> 8);
        }
        out.push_back(e);
    }
    return out;
}

void append(Bytes& dir, const Bytes& e) { dir.insert(dir.end(), e.begin(), e.end()); }

const FatDirEntry* byCluster(const FatDirectory& d, std::uint32_t cluster) {
    for (const FatDirEntry& e : d.entries)
        if (e.firstCluster == cluster) return &e;
    return nullptr;
}

FatDirectory decode(const Bytes& dir, bool rootRegion = false) {
    std::vector<std::uint64_t> lbas;
    for (std::size_t i = 0; i < (dir.size() + 511) / 512; ++i) lbas.push_back(100 + i);
    return decodeDirectory(dir, lbas, false, 850, rootRegion);
}

TEST(FatDirectory, LongNamesShortNamesCaseFlagsAndLabels) {
    Bytes dir;
    const Bytes s1 = shortEntry("LONGFI~1TXT", 5);
    for (const Bytes& l : longEntries(u"Long file \u0416 name.txt", shortNameChecksum(s1.data()))) append(dir, l);
    append(dir, s1);
    append(dir, shortEntry("MY DISK    ", 0, 0x08));
    append(dir, shortEntry("FIGURES XLS", 9, 0x20, 0x18));
    append(dir, shortEntry("DIR1       ", 11, 0x10, 0x08));
    // A deleted entry with its long name: every first byte is 0xE5.
    Bytes s3 = shortEntry("NOTES_~1TXT", 12);
    auto dl = longEntries(u"notes_deleted.txt", shortNameChecksum(s3.data()));
    for (Bytes& l : dl) {
        l[0] = 0xE5;
        append(dir, l);
    }
    s3[0] = 0xE5;
    append(dir, s3);
    // Long-name pieces whose checksum does not match are not this name.
    const Bytes s4 = shortEntry("OTHER   TXT", 20);
    for (const Bytes& l : longEntries(u"stale.txt", 0x11)) append(dir, l);
    append(dir, s4);
    // Short names in the OEM code page: 0x99 is \u00d6 in 850.
    append(dir, shortEntry("\x99L      TXT", 21));
    dir.insert(dir.end(), 32, 0);  // end of directory
    append(dir, shortEntry("HIDDEN  TXT", 30));

    const FatDirectory d = decode(dir);
    ASSERT_NE(byCluster(d, 5), nullptr);
    EXPECT_EQ(byCluster(d, 5)->name, "Long file \xD0\x96 name.txt");
    EXPECT_EQ(byCluster(d, 5)->shortName, "LONGFI~1.TXT");
    EXPECT_TRUE(byCluster(d, 5)->hasLongName);
    EXPECT_EQ(byCluster(d, 9)->name, "figures.xls");
    EXPECT_EQ(byCluster(d, 11)->name, "dir1");
    EXPECT_TRUE(byCluster(d, 11)->directory);
    EXPECT_EQ(byCluster(d, 12)->name, "notes_deleted.txt");
    EXPECT_TRUE(byCluster(d, 12)->deleted);
    EXPECT_EQ(byCluster(d, 20)->name, "OTHER.TXT");
    EXPECT_FALSE(byCluster(d, 20)->hasLongName);
    EXPECT_EQ(byCluster(d, 21)->name, "\xC3\x96L.TXT");
    EXPECT_EQ(byCluster(d, 30), nullptr);  // after the end marker
    ASSERT_NE(byCluster(d, 0), nullptr);
    EXPECT_TRUE(byCluster(d, 0)->volumeLabel);
    EXPECT_EQ(byCluster(d, 0)->name, "MY DISK");  // 11 bytes, trimmed, no dot
}

TEST(FatDirectory, ANameOfExactlyThirteenCharactersAndBadNames) {
    Bytes dir;
    const Bytes s1 = shortEntry("THIRTE~1   ", 5);
    for (const Bytes& l : longEntries(u"Thirteen_char", shortNameChecksum(s1.data()))) append(dir, l);
    append(dir, s1);
    const Bytes s2 = shortEntry("BAD~1   TXT", 6);
    for (const Bytes& l : longEntries(u"a|b.txt", shortNameChecksum(s2.data()))) append(dir, l);
    append(dir, s2);
    const FatDirectory d = decode(dir);
    EXPECT_EQ(byCluster(d, 5)->name, "Thirteen_char");
    EXPECT_EQ(byCluster(d, 6), nullptr);
    EXPECT_EQ(d.skippedNames, 1u);
}

TEST(FatDirectory, TheFixedRootGoesOnAfterAnEndInOneSector) {
    Bytes dir(1024, 0);
    const Bytes a = shortEntry("A       TXT", 5);
    const Bytes b = shortEntry("B       TXT", 6);
    std::copy(a.begin(), a.end(), dir.begin());
    std::copy(b.begin(), b.end(), dir.begin() + 512);
    EXPECT_EQ(decode(dir, true).entries.size(), 2u);
    EXPECT_EQ(decode(dir, false).entries.size(), 1u);
    EXPECT_EQ(decode(dir, true).entries[1].lba, 101u);
}

TEST(FatDirectory, GarbageIsSafe) {
    Bytes junk(32 * 40 + 7);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 37 + 11);
    EXPECT_LE(decode(junk).entries.size(), 40u);
}

}  // namespace
}  // namespace qvx::fat

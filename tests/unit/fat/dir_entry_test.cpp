#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "fat/dir_entry.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::fat {
namespace {

using test::putEntry;
using test::putNamedEntry;
using test::TestDisk;

FatVolume volumeOn(TestDisk& d) {
    FatVolume v;
    v.kind = "FAT16";
    v.range = d.range(0, d.sectors() - 1);
    v.endSector = d.sectors();
    return v;
}

util::Bytes sectorOf(TestDisk& d, std::uint64_t lba) { return util::Bytes(d.sector(lba), 512); }

TEST(ShortName, DropsBlanksAndMarksDeletedEntries) {
    std::array<std::uint8_t, 32> e{};
    putEntry(e.data(), "README  TXT", 0x20, 3);
    EXPECT_EQ(shortName(DirEntry{util::Bytes(e)}), "README.TXT");
    putEntry(e.data(), "MAKEFILE   ", 0x20, 3);
    EXPECT_EQ(shortName(DirEntry{util::Bytes(e)}), "MAKEFILE");
    putEntry(e.data(), "\xE5OTES   DOC", 0x20, 3);
    EXPECT_EQ(shortName(DirEntry{util::Bytes(e)}), "_OTES.DOC");
    EXPECT_TRUE(DirEntry{util::Bytes(e)}.isDeleted());
    putEntry(e.data(), "A B     C D", 0x20, 3);
    EXPECT_EQ(shortName(DirEntry{util::Bytes(e)}), "AB.CD");
}

TEST(NameCheck, RejectsControlAndReservedCharactersAcceptsHighBytes) {
    EXPECT_TRUE(isValidEntryName("Report 2009.doc"));
    EXPECT_TRUE(isValidEntryName("caf\xE9.txt"));
    EXPECT_TRUE(isValidEntryName("\x80\xFF"));
    for (const char* bad : {"a\x01", "a\x1F", "a\"b", "a\\b", "a/b", "a?", "a*", "a<", "a>", "a|"})
        EXPECT_FALSE(isValidEntryName(bad)) << bad;
}

TEST(DecodeEntryName, LongNamesOfExactlyOneAndTwoEntries) {
    TestDisk d(4);
    const FatVolume v = volumeOn(d);
    std::uint8_t* s = d.sector(1);
    const std::size_t a = putNamedEntry(s, 0, u"Thirteen_char", "THIRTE~1   ", 0x20, 5);
    const std::size_t b = putNamedEntry(s, a + 1, u"twenty-six-characters.docx", "TWENTY~1DOC", 0x20, 6);
    const std::size_t c = putNamedEntry(s, b + 1, u"caf\u00e9 menu.txt", "CAFM~1  TXT", 0x20, 7);
    DecodedName n = DecodeEntryName(v, sectorOf(d, 1), static_cast<std::uint32_t>(a), 1);
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(n.name, "Thirteen_char");
    n = DecodeEntryName(v, sectorOf(d, 1), static_cast<std::uint32_t>(b), 1);
    EXPECT_EQ(n.name, "twenty-six-characters.docx");
    n = DecodeEntryName(v, sectorOf(d, 1), static_cast<std::uint32_t>(c), 1);
    EXPECT_TRUE(n.valid) << "accented names are listed";
    EXPECT_EQ(n.name, "caf\xC3\xA9 menu.txt");
}

TEST(DecodeEntryName, LongNameStartedInThePreviousSector) {
    TestDisk d(4);
    const FatVolume v = volumeOn(d);
    // Two long entries in the last slots of sector 1, the short entry first in sector 2.
    const std::size_t shortIndex = putNamedEntry(d.sector(1), 14, u"a name that spans sectors", "ANAMET~1   ", 0x20, 9);
    ASSERT_EQ(shortIndex, 16u);
    const DecodedName n = DecodeEntryName(v, sectorOf(d, 2), 0, 2);
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(n.name, "a name that spans sectors");
}

TEST(DecodeEntryName, IncompleteLongNameKeepsTheShortName) {
    TestDisk d(4);
    const FatVolume v = volumeOn(d);
    std::uint8_t* s = d.sector(1);
    // A second long entry (ordinal 2) whose first entry is missing: 13 characters
    // collected, then a short entry: accepted as a multiple of 13.
    putEntry(s, "OTHER   TXT", 0x20, 4);
    test::putLongEntry(s + 32, 2, u"abcdefghijklmnopqrstuvwxyz", 13);
    putEntry(s + 64, "PARTIAL TXT", 0x20, 5);
    DecodedName n = DecodeEntryName(v, sectorOf(d, 1), 2, 1);
    EXPECT_EQ(n.name, "nopqrstuvwxyz");
    // No long entry in front: the short name.
    n = DecodeEntryName(v, sectorOf(d, 1), 0, 1);
    EXPECT_EQ(n.name, "OTHER.TXT");
}

TEST(DecodeEntryName, InvalidLongOrShortNameMakesTheEntryInvalid) {
    TestDisk d(4);
    const FatVolume v = volumeOn(d);
    std::uint8_t* s = d.sector(1);
    const std::size_t a = putNamedEntry(s, 0, u"what?.txt", "WHAT_   TXT", 0x20, 5);
    EXPECT_FALSE(DecodeEntryName(v, sectorOf(d, 1), static_cast<std::uint32_t>(a), 1).valid);
    putEntry(s + 5 * 32, "BAD\x01    TXT", 0x20, 5);
    EXPECT_FALSE(DecodeEntryName(v, sectorOf(d, 1), 5, 1).valid);
}

TEST(DecodeEntryName, DeletedEntryWithItsLongName) {
    TestDisk d(4);
    const FatVolume v = volumeOn(d);
    std::uint8_t* s = d.sector(1);
    const std::size_t a = putNamedEntry(s, 0, u"Old Letters", "OLDLET~1   ", 0x10, 5);
    s[0] = 0xE5;                   // the long entry of a deleted name
    s[a * 32] = 0xE5;              // the short entry
    const DecodedName n = DecodeEntryName(v, sectorOf(d, 1), static_cast<std::uint32_t>(a), 1);
    EXPECT_TRUE(n.deleted);
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(n.name, "Old Letters");
}

TEST(DecodeEntryName, LongNameChainIsBounded) {
    TestDisk d(8);
    const FatVolume v = volumeOn(d);
    // Sectors 0..5 full of long entries that never carry the last-entry mark.
    for (std::uint64_t lba = 0; lba < 6; ++lba)
        for (int i = 0; i < 16; ++i) test::putLongEntry(d.sector(lba) + i * 32, 1, u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0);
    putEntry(d.sector(6), "SHORT   TXT", 0x20, 3);
    const DecodedName n = DecodeEntryName(v, sectorOf(d, 6), 0, 6);
    EXPECT_TRUE(n.valid);
    EXPECT_LE(n.name.size(), kMaxLongNameChars + 13);
}

}  // namespace
}  // namespace qvx::fat

namespace qvx::fat {
namespace {

TEST(DecodeEntryName, LongNameDoesNotReachBackIntoTheFat) {
    TestDisk d(200);
    test::Fat16Layout l;
    test::writeFat16Boot(d, l);
    const FatVolume v = test::fat16Volume(d, l);
    // The last slot of the second FAT's last sector looks like a long-name
    // entry full of control bytes.
    std::uint8_t* lastFat = d.sector(l.root() - 1) + 15 * 32;
    std::memset(lastFat, 0x01, 32);
    lastFat[11] = 0x0F;
    putEntry(d.sector(l.root()), "FIRST   TXT", 0x20, 5);
    const DecodedName n = DecodeEntryName(v, util::Bytes(d.sector(l.root()), 512), 0, l.root());
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(n.name, "FIRST.TXT");
    // The same for the first entry of the data area.
    std::uint8_t* lastRoot = d.sector(l.clusterLba(2) - 1) + 15 * 32;
    std::memset(lastRoot, 0x01, 32);
    lastRoot[11] = 0x0F;
    putEntry(d.sector(l.clusterLba(2)), "SECOND  TXT", 0x20, 6);
    EXPECT_EQ(DecodeEntryName(v, util::Bytes(d.sector(l.clusterLba(2)), 512), 0, l.clusterLba(2)).name, "SECOND.TXT");
}

}  // namespace
}  // namespace qvx::fat

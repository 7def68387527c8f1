// Full names of FAT entries: long names in UTF-16, deleted long names,
// short names with the lower-case flags, and the fallback to the tree name.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "recover/fat_names.h"

namespace {

using namespace qvx::recover;
using Bytes = std::vector<std::uint8_t>;

std::uint8_t checksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

Bytes shortEntry(const char* name11, std::uint16_t cluster, std::uint8_t attr = 0x20, std::uint8_t caseFlags = 0) {
    Bytes e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    e[12] = caseFlags;
    e[26] = static_cast<std::uint8_t>(cluster);
    e[27] = static_cast<std::uint8_t>(cluster >> 8);
    return e;
}

/// The long-name entries of units (last piece first, as on disk).
std::vector<Bytes> longEntries(const std::u16string& name, std::uint8_t sum) {
    std::u16string padded = name;
    padded.push_back(0);
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

TEST(FatNames, LongNamesShortNamesAndCaseFlags) {
    Bytes dir;
    const Bytes s1 = shortEntry("LONGFI~1TXT", 5);
    for (const Bytes& l : longEntries(u"Long file \u0416 name.txt", checksum(s1.data()))) dir.insert(dir.end(), l.begin(), l.end());
    dir.insert(dir.end(), s1.begin(), s1.end());
    const Bytes label = shortEntry("MY_DISK    ", 0, 0x08);
    dir.insert(dir.end(), label.begin(), label.end());
    const Bytes s2 = shortEntry("FIGURES XLS", 9, 0x20, 0x18);
    dir.insert(dir.end(), s2.begin(), s2.end());
    // A deleted entry with its long name: every first byte is 0xE5.
    Bytes s3 = shortEntry("NOTES_~1TXT", 12);
    auto dl = longEntries(u"notes_deleted.txt", checksum(s3.data()));
    for (Bytes& l : dl) { l[0] = 0xE5; dir.insert(dir.end(), l.begin(), l.end()); }
    s3[0] = 0xE5;
    dir.insert(dir.end(), s3.begin(), s3.end());
    // Long-name pieces whose checksum does not match are ignored.
    const Bytes s4 = shortEntry("OTHER   TXT", 20);
    for (const Bytes& l : longEntries(u"stale.txt", 0x11)) dir.insert(dir.end(), l.begin(), l.end());
    dir.insert(dir.end(), s4.begin(), s4.end());
    dir.insert(dir.end(), 32, 0);  // end of directory
    const Bytes after = shortEntry("HIDDEN  TXT", 30);
    dir.insert(dir.end(), after.begin(), after.end());

    const auto names = decodeFatDirectory(dir.data(), dir.size(), false);
    EXPECT_EQ(fullFatName(names, 5, "Long file \x16 name.txt", false), "Long file \xD0\x96 name.txt");
    EXPECT_EQ(fullFatName(names, 5, "LONGFI~1.TXT", false), "LONGFI~1.TXT");
    EXPECT_EQ(fullFatName(names, 9, "FIGURES.XLS", false), "figures.xls");
    EXPECT_EQ(fullFatName(names, 12, "notes_deleted.txt", false), "notes_deleted.txt");
    EXPECT_EQ(fullFatName(names, 12, "_OTES_~1.TXT", false), "_OTES_~1.TXT");
    EXPECT_EQ(fullFatName(names, 20, "stale.txt", false), "stale.txt");  // not on disk: the tree name
    EXPECT_EQ(fullFatName(names, 20, "OTHER.TXT", false), "OTHER.TXT");
    for (const auto& n : names) EXPECT_NE(n.firstCluster, 30u);  // after the end marker
    EXPECT_TRUE(isFatVolumeLabel(names, 0, "MY_DISK"));
    EXPECT_FALSE(isFatVolumeLabel(names, 9, "FIGURES.XLS"));
    // A folder is only matched by a directory entry.
    EXPECT_EQ(fullFatName(names, 9, "FIGURES.XLS", true), "FIGURES.XLS");
}

TEST(FatNames, TruncatedAndGarbageDirectoriesAreSafe) {
    Bytes junk(32 * 40 + 7);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const auto names = decodeFatDirectory(junk.data(), junk.size(), true);
    EXPECT_LE(names.size(), 80u);
}

TEST(FatDirectoryIndex, SameAnswersAsTheScan) {
    std::vector<FatName> entries;
    auto add = [&](std::uint32_t cluster, bool dir, bool label, const std::string& shown, const std::string& utf8) {
        FatName n;
        n.firstCluster = cluster;
        n.directory = dir;
        n.volumeLabel = label;
        n.shown = shown;
        n.utf8 = utf8;
        entries.push_back(n);
    };
    add(0, false, true, "VOLUME", "VOLUME");
    add(0, false, false, "EMPTY.TXT", "empty.txt");
    add(7, true, false, "DOCS", "Docs");
    add(7, false, false, "DOCS", "docs-file");  // same cluster, a file
    add(9, false, false, "A.TXT", "first");
    add(9, false, false, "A.TXT", "second");    // the first in order wins
    const FatDirectory index(entries);
    for (std::uint32_t c : {0u, 7u, 9u, 11u})
        for (const char* shown : {"VOLUME", "EMPTY.TXT", "DOCS", "A.TXT", "NONE"})
            for (bool dir : {false, true}) {
                EXPECT_EQ(fullFatName(index, c, shown, dir), fullFatName(entries, c, shown, dir)) << c << shown;
                EXPECT_EQ(isFatVolumeLabel(index, c, shown), isFatVolumeLabel(entries, c, shown)) << c << shown;
            }
    EXPECT_EQ(fullFatName(index, 9, "A.TXT", false), "first");
    EXPECT_TRUE(isFatVolumeLabel(index, 0, "VOLUME"));
}

}  // namespace

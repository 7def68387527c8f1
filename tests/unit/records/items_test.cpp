#include "records/items.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace qvx::records {
namespace {

TEST(ItemStore, ItemsAndNamesSurviveGrowthAcrossBlocks) {
    // Enough items to fill several item blocks and names to fill several
    // name blocks: every item must keep its own fields and name.
    ItemStore store;
    constexpr std::size_t kCount = 70000;
    const std::string padding(40, 'x');
    for (std::size_t i = 0; i < kCount; ++i) {
        Item it;
        it.record = i;
        it.parent = i % 7 == 0 ? 5 : 6;
        it.size = i * 3;
        if (i == 6) it.flags |= kItemFolder;
        store.add(it, "name " + std::to_string(i) + padding);
    }
    ASSERT_EQ(store.size(), kCount);
    for (std::size_t i = 0; i < kCount; i += 997) {
        EXPECT_EQ(store[i].record, i);
        EXPECT_EQ(store[i].size, i * 3);
        EXPECT_EQ(store.name(i), "name " + std::to_string(i) + padding);
    }
    EXPECT_EQ(store.name(kCount - 1), "name " + std::to_string(kCount - 1) + padding);
    EXPECT_EQ(store.folderOf(6), 6u);
    EXPECT_EQ(store.folderOf(7), ItemStore::kNone);
    EXPECT_EQ(store.fileCount(), kCount - 1);
    // Files of the root in store order.
    const auto& root = store.filesOf(5);
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.front(), 0u);
    EXPECT_EQ(root[1], 7u);
    // Items changed in place stay where they are.
    store.setParent(3, 5);
    EXPECT_EQ(store.filesOf(5)[1], 3u);

    store.clear();
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.add(Item{}, "again"), 0u);
    EXPECT_EQ(store.name(0), "again");
}

TEST(ItemStore, StreamsCarryTheFileNameAndTheirOwn) {
    ItemStore store;
    store.add(Item{}, "report.doc");
    const std::size_t s = store.add(Item{}, "report.doc", "Zone.Identifier");
    EXPECT_TRUE(store[s].isStream());
    EXPECT_EQ(store.name(s), "report.doc:Zone.Identifier");
    EXPECT_EQ(store.baseName(s), "report.doc");
    EXPECT_EQ(store.streamName(s), "Zone.Identifier");
    EXPECT_EQ(store.streamName(0), "");
    EXPECT_EQ(store.baseName(0), "report.doc");
}

TEST(ItemStore, StreamsSharingTheirFilesFieldsReadBackWhole) {
    // Streams right after their file share its record, parent, times and
    // location; what they hold of their own must come back as added, and
    // changing the file or one stream later must not change the others.
    ItemStore store;
    Item file;
    file.record = 40;
    file.parent = 5;
    file.sequence = 3;
    file.sector = 1234;
    file.times = {11, 12, 13, 14};
    file.fileNameTimes = {21, 22, 23, 24};
    file.attributes = 0x20;
    file.size = 100;
    file.attributeId = 1;
    file.attribute = ItemAttribute::Data;
    const std::size_t f = store.add(file, "a.txt");
    Item link = file;  // another name of the same file, elsewhere
    link.parent = 9;
    link.fileNameTimes = {31, 32, 33, 34};
    const std::size_t l = store.add(link, "b.txt");
    std::size_t streams[3];
    for (int k = 0; k < 3; ++k) {
        Item s = file;
        s.size = 1000u + static_cast<std::uint64_t>(k);
        s.allocatedSize = 4096;
        s.attributeId = static_cast<std::uint16_t>(7 + k);
        s.flags = k == 1 ? kItemIncomplete : 0;
        streams[k] = store.add(s, "a.txt", "s" + std::to_string(k));
    }
    Item other = file;  // a stream whose times differ is kept whole
    other.times.modified = 99;
    const std::size_t o = store.add(other, "a.txt", "odd");
    for (int k = 0; k < 3; ++k) {
        const Item s = store[streams[k]];
        EXPECT_EQ(s.record, 40u);
        EXPECT_EQ(s.parent, 5u);
        EXPECT_EQ(s.sequence, 3u);
        EXPECT_EQ(s.sector, 1234u);
        EXPECT_EQ(s.times.accessed, 14);
        EXPECT_EQ(s.fileNameTimes.created, 21);
        EXPECT_EQ(s.size, 1000u + static_cast<std::uint64_t>(k));
        EXPECT_EQ(s.allocatedSize, 4096u);
        EXPECT_EQ(s.attributeId, 7 + k);
        EXPECT_TRUE(s.isStream());
        EXPECT_EQ((s.flags & kItemIncomplete) != 0, k == 1);
        EXPECT_EQ(store.name(streams[k]), "a.txt:s" + std::to_string(k));
    }
    EXPECT_EQ(store[o].times.modified, 99);
    EXPECT_EQ(store[l].parent, 9u);
    EXPECT_EQ(store[f].flags, 0u);
    EXPECT_LT(store.memoryBytes(), 3 * (sizeof(Item) << 14) + (1u << 20) + (4u << 14) + 1);

    // The file moves: its streams keep the parent they were added with.
    store.setParent(f, 77);
    EXPECT_EQ(store[f].parent, 77u);
    for (const std::size_t s : streams) EXPECT_EQ(store[s].parent, 5u);
    // One stream moves: the others and the file stay.
    store.setParent(streams[1], 78);
    EXPECT_EQ(store[streams[1]].parent, 78u);
    EXPECT_EQ(store[streams[0]].parent, 5u);
    EXPECT_EQ(store[streams[2]].parent, 5u);
    EXPECT_EQ(store[streams[1]].size, 1001u);
    EXPECT_EQ(store.name(streams[1]), "a.txt:s1");
    store.setFlags(streams[2], static_cast<std::uint16_t>(store[streams[2]].flags | kItemDeleted));
    EXPECT_TRUE(store[streams[2]].deleted());
    EXPECT_FALSE(store[streams[0]].deleted());
    EXPECT_EQ(store.filesOf(5).size(), 3u);  // streams 0 and 2, and the odd one
    EXPECT_EQ(store.filesOf(77).size(), 1u);
}

TEST(ItemStore, FileNameTimesReadBackExactlyNearAndFar) {
    // $FILE_NAME times are kept as differences from the creation time when
    // they are close to it; every other case (far apart, the extremes a
    // damaged record holds) must still read back exactly, streams sharing
    // the file's fields included.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kCreated = 133000000000000000LL;
    const ItemTimes si{kCreated, kCreated + 5, kCreated + 7, kCreated + 9};
    const ItemTimes cases[] = {
        si,
        {kCreated + 1234, kCreated - 99, kCreated, kCreated + INT32_MAX},
        {kCreated + INT32_MIN, kCreated, kCreated, kCreated},      // the marker value itself: kept apart
        {kCreated + INT32_MAX + 1LL, kCreated, kCreated, kCreated},  // just out of reach
        {0, 0, 0, 0},
        {kMax, kMin, kMax, kMin},
    };
    ItemStore store;
    for (const ItemTimes& fn : cases) {
        Item it;
        it.record = 40;
        it.times = si;
        it.fileNameTimes = fn;
        store.add(it, "file");
        store.add(it, "file", "stream");
    }
    Item extreme;
    extreme.times = {kMin, kMax, 0, -1};
    extreme.fileNameTimes = {kMax, kMin, 1, 0};
    store.add(extreme, "extreme");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        for (std::size_t k = 2 * i; k < 2 * i + 2; ++k) {
            const Item it = store[k];
            EXPECT_EQ(it.times.created, si.created) << k;
            EXPECT_EQ(it.times.accessed, si.accessed) << k;
            EXPECT_EQ(it.fileNameTimes.created, cases[i].created) << k;
            EXPECT_EQ(it.fileNameTimes.modified, cases[i].modified) << k;
            EXPECT_EQ(it.fileNameTimes.changed, cases[i].changed) << k;
            EXPECT_EQ(it.fileNameTimes.accessed, cases[i].accessed) << k;
        }
    const Item e = store[store.size() - 1];
    EXPECT_EQ(e.times.created, kMin);
    EXPECT_EQ(e.times.modified, kMax);
    EXPECT_EQ(e.fileNameTimes.created, kMax);
    EXPECT_EQ(e.fileNameTimes.modified, kMin);
    EXPECT_EQ(e.fileNameTimes.changed, 1);
}

bool sameItem(const Item& a, const Item& b) {
    auto times = [](const ItemTimes& x, const ItemTimes& y) {
        return x.created == y.created && x.modified == y.modified && x.changed == y.changed && x.accessed == y.accessed;
    };
    return a.record == b.record && a.parent == b.parent && times(a.times, b.times) &&
           times(a.fileNameTimes, b.fileNameTimes) && a.size == b.size && a.allocatedSize == b.allocatedSize &&
           a.sector == b.sector && a.entryOffset == b.entryOffset && a.attributes == b.attributes &&
           a.sequence == b.sequence && a.parentSequence == b.parentSequence && a.flags == b.flags &&
           a.attributeId == b.attributeId && a.fileNameId == b.fileNameId && a.attribute == b.attribute &&
           a.fileNameUnits == b.fileNameUnits && a.ownerId == b.ownerId;
}

TEST(ItemStore, EveryFieldReadsBackWhateverItsNeighboursAndLaterChanges) {
    // Items read the fields they share from an item before them (their
    // file, or one kept whole): files of one folder, streams and further
    // names, with values near, equal, far apart and at the extremes. Then
    // items are moved and re-flagged, bases and readers alike: every item
    // must still read back exactly as added or changed.
    constexpr std::uint64_t kMaxU = std::numeric_limits<std::uint64_t>::max();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    ItemStore store;
    std::vector<Item> want;
    std::vector<std::string> names;
    for (std::uint64_t n = 0; n < 3000; ++n) {
        Item it;
        it.record = n % 97 == 0 ? kMaxU - n : 1000 + n;
        it.parent = n % 50 == 0 ? 5 : 900 + n / 10;
        it.times.created = n % 89 == 0 ? kMin : 133000000000000000LL + static_cast<std::int64_t>(n * 10000019);
        it.times.modified = n % 83 == 0 ? kMax : it.times.created + static_cast<std::int64_t>(next() % 5);
        it.times.changed = it.times.modified;
        it.times.accessed = n % 7 == 0 ? 0 : it.times.created;
        it.fileNameTimes = it.times;
        if (n % 11 == 0) it.fileNameTimes.created = kMin + 1;
        it.size = n % 13 == 0 ? kMaxU : next();
        // Allocated sizes below, at and above the size, none at all, and the
        // largest values, which are kept whole.
        switch (n % 9) {
        case 0: it.allocatedSize = 0; break;
        case 1: it.allocatedSize = kMaxU; break;
        case 2: it.allocatedSize = (std::uint64_t{1} << 63) - 1 - n % 2; break;
        case 3: it.allocatedSize = std::uint64_t{1} << 63; break;
        case 4: it.allocatedSize = it.size + 4095 - (it.size + 4095) % 4096; break;
        case 5: it.allocatedSize = it.size; break;
        default: it.allocatedSize = it.size / 4096 * 4096; break;
        }
        it.sector = 2 * it.record + 6000;
        it.entryOffset = static_cast<std::uint32_t>(n % 16 * 32);
        it.attributes = n % 3 == 0 ? 0x20 : 0x10000020;
        it.sequence = static_cast<std::uint16_t>(n % 5 + 1);
        it.parentSequence = 1;
        it.flags = static_cast<std::uint16_t>(n % 17 == 0 ? kItemFolder : n % 19 == 0 ? kItemDeleted : 0);
        it.attributeId = static_cast<std::uint16_t>(next() % 3);
        it.fileNameId = 2;
        it.attribute = n % 17 == 0 ? ItemAttribute::IndexRoot : ItemAttribute::Data;
        it.fileNameUnits = static_cast<std::uint8_t>(n % 40);
        it.ownerId = static_cast<std::uint16_t>(n % 23 == 0 ? 0xFFFF : 0);
        const std::string name = "file " + std::to_string(n) + (n % 29 == 0 ? "" : " with a longer name");
        store.add(it, name);
        want.push_back(it);
        names.push_back(name);
        // Streams, then another name in another folder.
        for (std::uint64_t k = 0; k < n % 4; ++k) {
            Item s = it;
            s.flags = static_cast<std::uint16_t>((it.flags & ~kItemFolder) | kItemStream);
            s.size = 60 + k;
            s.attributeId = static_cast<std::uint16_t>(5 + k);
            store.add(s, name, "s" + std::to_string(k));
            want.push_back(s);
            names.push_back(name + ":s" + std::to_string(k));
        }
        if (n % 9 == 0) {
            Item link = it;
            link.parent = 77;
            link.fileNameTimes.created += 1;
            store.add(link, "link " + std::to_string(n));
            want.push_back(link);
            names.push_back("link " + std::to_string(n));
        }
    }
    ASSERT_EQ(store.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(sameItem(store[i], want[i])) << i;
        ASSERT_EQ(store.name(i), names[i]) << i;
    }

    for (std::size_t i = 0; i < want.size(); i += 1 + next() % 7) {
        if (next() % 2 == 0) {
            want[i].parent = next();
            store.setParent(i, want[i].parent);
        } else {
            want[i].flags = static_cast<std::uint16_t>(want[i].flags ^ kItemDeleted);
            store.setFlags(i, want[i].flags);
        }
    }
    std::size_t files = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(sameItem(store[i], want[i])) << i << " parent " << store[i].parent << " want " << want[i].parent
                                                  << " flags " << store[i].flags << " want " << want[i].flags;
        ASSERT_EQ(store.name(i), names[i]) << i;
        const ItemStore::Brief brief = store.brief(i);
        ASSERT_EQ(brief.record, want[i].record) << i;
        ASSERT_EQ(brief.parent, want[i].parent) << i;
        ASSERT_EQ(brief.flags, want[i].flags) << i;
        files += want[i].isFolder() ? 0 : 1;
    }
    EXPECT_EQ(store.fileCount(), files);
    // One pass over every item reads the same, bases taken from the pass.
    std::size_t seen = 0;
    store.forEachBrief([&](std::size_t i, const ItemStore::Brief& b) {
        EXPECT_EQ(i, seen++);
        EXPECT_EQ(b.record, want[i].record) << i;
        EXPECT_EQ(b.parent, want[i].parent) << i;
        EXPECT_EQ(b.flags, want[i].flags) << i;
    });
    EXPECT_EQ(seen, want.size());
    // With the sectors too, which lie past the names.
    seen = 0;
    store.forEachBriefWithSector([&](std::size_t i, const ItemStore::Brief& b) {
        EXPECT_EQ(i, seen++);
        EXPECT_EQ(b.record, want[i].record) << i;
        EXPECT_EQ(b.parent, want[i].parent) << i;
        EXPECT_EQ(b.sector, want[i].sector) << i;
        EXPECT_EQ(b.flags, want[i].flags) << i;
    });
    EXPECT_EQ(seen, want.size());
    // The files of a parent come in store order, runs of neighbours and
    // single ones alike.
    for (const std::uint64_t parent : {std::uint64_t{5}, std::uint64_t{77}, want[10].parent}) {
        std::vector<std::uint32_t> expected;
        for (std::size_t i = 0; i < want.size(); ++i)
            if (!want[i].isFolder() && want[i].parent == parent) expected.push_back(static_cast<std::uint32_t>(i));
        EXPECT_EQ(store.filesOf(parent), expected) << parent;
    }
}

TEST(ItemStore, StreamNamesSharedByManyFilesAndOnesSeenOnceReadBack) {
    // Repeated stream names are kept once and named by number, up to a
    // bound; names past it, and the empty one, are written out.
    ItemStore store;
    std::vector<std::string> want;
    for (int n = 0; n < 6000; ++n) {
        Item file;
        file.record = static_cast<std::uint64_t>(n);
        const std::string name = "f" + std::to_string(n);
        store.add(file, name);
        want.push_back(name);
        for (const std::string& stream : {std::string("Zone.Identifier"), "unique " + std::to_string(n)}) {
            store.add(file, name, stream);
            want.push_back(name + ":" + stream);
        }
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(store.name(i), want[i]) << i;
        ASSERT_EQ(store[i].isStream(), i % 3 != 0) << i;
        ASSERT_EQ(store.brief(i).flags & kItemStream, i % 3 != 0 ? kItemStream : 0) << i;
    }
    EXPECT_EQ(store.streamName(1), "Zone.Identifier");
    EXPECT_EQ(store.streamName(want.size() - 1), "unique 5999");
}

TEST(ItemStore, OverlongNamesAreNotKeptButTheItemIs) {
    // No file system field holds a name of this size; only a damaged
    // session log could, and it must not fill memory.
    ItemStore store;
    const std::size_t i = store.add(Item{}, std::string(1 << 17, 'a'));
    EXPECT_EQ(store.name(i), "");
    const std::size_t j = store.add(Item{}, "short");
    EXPECT_EQ(store.name(j), "short");
}

TEST(FileTimes, ExtremeValuesOfDamagedRecordsDoNotOverflow) {
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL), 0);
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL + 15000000), 1);
    EXPECT_EQ(fileTimeToUnixUtc(116444736000000000LL - 1), -1);  // floors before 1970
    const std::int64_t earliest = fileTimeToUnixUtc(std::numeric_limits<std::int64_t>::min());
    EXPECT_LT(earliest, 0);
    EXPECT_GT(fileTimeToUnixUtc(std::numeric_limits<std::int64_t>::max()), 0);
}

TEST(FileTimes, FatDatesAsWallClockFileTimes) {
    // 2024-02-29 13:45:58 plus 50 hundredths.
    const std::uint16_t date = static_cast<std::uint16_t>(((2024 - 1980) << 9) | (2 << 5) | 29);
    const std::uint16_t time = static_cast<std::uint16_t>((13 << 11) | (45 << 5) | (58 / 2));
    const std::int64_t ft = fatToFileTime(date, time, 50);
    EXPECT_EQ(fileTimeToUnixUtc(ft), 1709214358);
    EXPECT_EQ((ft - 116444736000000000LL) % 10000000, 5000000);
    EXPECT_EQ(fatToFileTime(0, time), 0);
}

}  // namespace
}  // namespace qvx::records


namespace qvx::records {
namespace {

TEST(ItemStore, NamesSharingTheirStartOrEndWithTheItemBeforeReadBackExactly) {
    // Neighbouring names that overlap every way: one the start of the next,
    // the same ends, repeated letters where start and end could overlap,
    // characters of several bytes split anywhere, and empty names.
    const std::vector<std::string> names = {
        "IMG_0001.JPG", "IMG_0002.JPG", "IMG_0002.JPG.bak", "IMG_0002", "", "aaa", "aaaa", "aa", "aaaaaa",
        "Привет мир.txt", "Привет мир 2.txt", "Привет.txt", "日本語のファイル.doc", "日本語のファイル (2).doc",
        "x", "document version 1 final.docx", "document version 12 final.docx", "document.docx", "",
    };
    ItemStore store;
    std::vector<std::string> full, base;
    for (std::size_t k = 0; k < names.size(); ++k) {
        // Names of one record (hard links) read from the one before them;
        // the others from the last item kept whole.
        Item it;
        it.record = 100 + k / 3;
        it.parent = 5 + k;
        it.times.created = 133000000000000000LL;
        store.add(it, names[k]);
        full.push_back(names[k]);
        base.push_back(names[k]);
        // A stream of every other one, so names are read through two bases.
        if (k % 2 == 0) {
            Item s = it;
            s.size = 9;
            store.add(s, names[k], "Zone.Identifier");
            full.push_back(names[k] + ":Zone.Identifier");
            base.push_back(names[k]);
        }
    }
    auto check = [&](const char* when) {
        ASSERT_EQ(store.size(), full.size());
        for (std::size_t i = 0; i < full.size(); ++i) {
            EXPECT_EQ(store.name(i), full[i]) << when << " " << i;
            EXPECT_EQ(store.baseName(i), base[i]) << when << " " << i;
        }
        // Backwards, each read through its bases anew.
        for (std::size_t i = full.size(); i-- > 0;) EXPECT_EQ(store.name(i), full[i]) << when << " " << i;
    };
    check("as added");
    // The arena's unfilled end given back: items are still read, and moved
    // or added items are written there.
    store.releaseUnusedArena();
    check("after the release");
    // Moving items writes them whole; their readers keep their names.
    for (std::size_t i = 0; i < store.size(); i += 3) store.setParent(i, 77);
    check("after moves");
    Item late;
    late.record = 999;
    store.add(late, "added later");
    full.push_back("added later");
    base.push_back("added later");
    check("after an addition");
}

TEST(ItemStore, NamesStoredAgainstEarlierFamiliesReadBackThroughEveryPath) {
    // Several families of names take turns, as in a folder of photos with
    // their side files, documents and their backups: a name is stored
    // against the last one of its family, which is not its base. Hard links
    // and streams read from their file; some items are moved afterwards,
    // which writes them and their readers anew. Long runs of one family make
    // chains of names stored against names, which must stay bounded.
    const std::vector<std::string> stems = {"IMG_", "Report on the quarter ", "Привет мир ", "日本語のファイル",
                                            "x"};
    const std::vector<std::string> ends = {".JPG", " final.docx", ".txt", ".doc", ""};
    ItemStore store;
    std::vector<std::string> full, base;
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (std::size_t k = 0; k < 6000; ++k) {
        const std::size_t family = k < 2000 ? k % stems.size() : (k < 4000 ? 1 : next() % stems.size());
        std::string name = stems[family] + std::to_string(k / 3 + (next() % 4)) + ends[family];
        if (next() % 17 == 0) name = "";
        Item it;
        it.record = 1000 + k;
        it.parent = 5 + k / 50;
        it.times.created = 133000000000000000LL + static_cast<std::int64_t>(k);
        store.add(it, name);
        full.push_back(name);
        base.push_back(name);
        if (next() % 5 == 0) {
            // A second name of the same file, as a hard link.
            const std::string link = name + " link " + std::to_string(k % 7);
            store.add(it, link);
            full.push_back(link);
            base.push_back(link);
        }
        if (next() % 3 == 0) {
            Item s = it;
            s.size = 9;
            store.add(s, name, "Zone.Identifier");
            full.push_back(name + ":Zone.Identifier");
            base.push_back(name);
        }
    }
    auto check = [&](const char* when) {
        ASSERT_EQ(store.size(), full.size());
        for (std::size_t i = 0; i < full.size(); ++i) {
            ASSERT_EQ(store.name(i), full[i]) << when << " " << i;
            ASSERT_EQ(store.baseName(i), base[i]) << when << " " << i;
        }
        // Backwards and in strides, so no name is found decoded already.
        for (std::size_t i = full.size(); i-- > 0;) ASSERT_EQ(store.name(i), full[i]) << when << " " << i;
        for (std::size_t stride = 0; stride < 97; ++stride)
            for (std::size_t i = stride; i < full.size(); i += 97) ASSERT_EQ(store.name(i), full[i]) << when << " " << i;
    };
    check("as added");
    for (std::size_t i = 0; i < store.size(); i += 1 + next() % 9) store.setParent(i, 77);
    check("after moves");
    ItemStore copy;
    for (std::size_t i = 0; i < store.size(); ++i) copy.add(store[i], store.baseName(i), store.streamName(i));
    for (std::size_t i = 0; i < full.size(); ++i) ASSERT_EQ(copy.name(i), full[i]) << "copied " << i;
}

}  // namespace
}  // namespace qvx::records

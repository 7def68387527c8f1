#pragma once
// The typed items of an analysis: one compact record per file, folder or
// alternate data stream found, names inline as UTF-8, in one arena. The
// searches fill it; the file list, recovery, the command line's output and
// the session log read it. Text cells are made from it only where a screen
// or a stored file shows them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/huge_pages.h"

namespace qvx::records {

/// Four timestamps as FILETIME values (100-ns units since 1601-01-01).
/// NTFS stores them in UTC; FAT's are local wall-clock times, marked by
/// kItemLocalTimes. 0 means not recorded.
struct ItemTimes {
    std::int64_t created = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;   // MFT record change (NTFS only)
    std::int64_t accessed = 0;
};

enum ItemFlag : std::uint16_t {
    kItemFolder = 0x0001,
    kItemDeleted = 0x0002,
    kItemStream = 0x0004,         // an alternate data stream of the file with the same record
    kItemLocalTimes = 0x0008,     // times are local wall-clock times (FAT)
    kItemHasFileNameTimes = 0x0010,
    kItemIncomplete = 0x0020,     // some of its records or attributes could not be read
    kItemSystem = 0x0040,         // an NTFS metadata file (record below 16 or named $...)
    kItemNamesFile = 0x0080,      // a stream of a file not listed itself ($Secure): it also stands for the file's $FILE_NAME
    kItemFromLog = 0x0100,        // read from a session log: only the $FILE_NAME creation date is known
};

/// The NTFS attribute an item is listed by, one byte in the item.
enum class ItemAttribute : std::uint8_t { None = 0, Data = 1, IndexRoot = 2 };

/// Its NTFS attribute type code: 128 ($DATA), 144 ($INDEX_ROOT), 0 (none).
std::uint32_t ntfsAttributeType(ItemAttribute attribute);

struct Item {
    std::uint64_t record = 0;       // NTFS MFT record; FAT first cluster
    std::uint64_t parent = 0;       // record (NTFS) or first cluster (FAT) of the folder holding it
    ItemTimes times;                // $STANDARD_INFORMATION (NTFS) or the directory entry (FAT)
    ItemTimes fileNameTimes;        // NTFS: the times of the $FILE_NAME shown
    std::uint64_t size = 0;         // bytes of the listed data; NTFS folders: of the $INDEX_ROOT value
    std::uint64_t allocatedSize = 0;
    std::uint64_t sector = 0;       // where it was found: the record's first sector, or the entry's sector
    std::uint32_t entryOffset = 0;  // FAT: byte offset of the entry in its sector
    std::uint32_t attributes = 0;   // file attribute flags as stored
    std::uint32_t nameOffset = 0;   // into the arena
    std::uint32_t nameLength = 0;   // bytes of the shown name ("file:stream" for a stream)
    std::uint16_t streamLength = 0; // bytes of the stream's own name at the end of the shown name
    std::uint16_t sequence = 0;
    std::uint16_t parentSequence = 0;
    std::uint16_t flags = 0;
    // NTFS, for timelines: the attribute listed (a file's or stream's $DATA,
    // a folder's $INDEX_ROOT, a named index) with its id, and the
    // $FILE_NAME whose times are reported with its id and name length.
    // Not kept in session logs.
    std::uint16_t attributeId = 0;
    std::uint16_t fileNameId = 0;
    ItemAttribute attribute = ItemAttribute::None;
    std::uint8_t fileNameUnits = 0;
    std::uint16_t ownerId = 0;       // NTFS: $STANDARD_INFORMATION owner id (saturated to 16 bits)

    bool isFolder() const { return (flags & kItemFolder) != 0; }
    bool deleted() const { return (flags & kItemDeleted) != 0; }
    bool isStream() const { return (flags & kItemStream) != 0; }
};

/// A FAT date and time (and creation hundredths) as a FILETIME value of
/// the same wall-clock time; 0 for a date word of 0.
std::int64_t fatToFileTime(std::uint16_t date, std::uint16_t time, std::uint32_t hundredths = 0);

/// Seconds since 1970 of a FILETIME value read as UTC.
std::int64_t fileTimeToUnixUtc(std::int64_t fileTime);

class ItemStore {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    /// Appends an item with its shown name; for a stream, streamName is the
    /// stream's own name and the shown name becomes "file:stream".
    std::size_t add(Item item, std::string_view name, std::string_view streamName = {});
    void clear();

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    /// The item, by value: a stream may be kept as the fields it has of its
    /// own beside the file item it shares the rest with.
    Item operator[](std::size_t i) const;
    /// The same item without a copy, with its name: good until this thread
    /// reads another item (of any store), so read from it at once.
    const Item& peek(std::size_t i) const { return view(i).item; }
    /// The item's shown name appended to out.
    void appendName(std::size_t i, std::string& out) const;
    /// Record, parent and flags alone, read faster than the whole item: for
    /// passes over every item.
    struct Brief {
        std::uint64_t record = 0;
        std::uint64_t parent = 0;
        std::uint64_t sector = 0;  // from forEachBriefWithSector only
        std::uint16_t flags = 0;
        bool isFolder() const { return (flags & kItemFolder) != 0; }
    };
    Brief brief(std::size_t i) const;
    /// f(index, brief) for every item in store order, decoding each item
    /// once; f must not change the store.
    template <class F>
    void forEachBrief(F&& f) const {
        forEachBriefOf<false>(f);
    }
    /// The same with each item's sector, which lies further into an item.
    template <class F>
    void forEachBriefWithSector(F&& f) const {
        forEachBriefOf<true>(f);
    }
    /// Change an item's parent or flags; the indexes are dropped.
    void setParent(std::size_t i, std::uint64_t parent);
    void setFlags(std::size_t i, std::uint16_t flags);

    /// The shown name (UTF-8).
    std::string name(std::size_t i) const;
    /// A stream's own name; empty for files and folders.
    std::string_view streamName(std::size_t i) const;
    /// The name of the file a stream belongs to (the shown name for others).
    std::string_view baseName(std::size_t i) const;

    /// Items that are not folders (files and streams) whose parent is
    /// parentId, in store order. The index is built on first use and dropped
    /// by every change of the store or of a parent.
    std::vector<std::uint32_t> filesOf(std::uint64_t parentId) const;
    /// The folder item of that record, or kNone.
    std::size_t folderOf(std::uint64_t record) const;
    /// Call after changing items' parents or flags in place.
    void invalidateIndexes() const;

    std::size_t fileCount() const;
    std::size_t memoryBytes() const;
    /// Once a search has added its items: the unfilled end of the last
    /// arena block (whole 2 MiB blocks are made) no longer takes memory.
    /// Items may still be added or changed afterwards.
    void releaseUnusedArena();

private:
    // Each item is kept as a short run of bytes in one arena: a header byte,
    // then which fields are stored (a bit each) and those fields as
    // variable-length numbers, names inline. A field left out is zero, or,
    // for an item that reads from a base (its file, for a stream or another
    // name of a file; else an item kept whole shortly before it), the
    // base's value.
    // Times are stored as differences (from the base's creation time, or
    // from the item's own), so the many equal or nearby values of one file
    // take a byte or two each. Every value reads back exactly.
    static constexpr std::uint8_t kDerived = 0x01;  // reads absent fields from its base
    static constexpr std::uint8_t kIsBase = 0x02;   // some later item reads from this one
    // A base lies at most this many items before the item reading from it:
    // an item about to change finds its readers within that distance.
    static constexpr std::size_t kMaxBaseDistance = 255;
    // How many bases deep an item reads: a stream reads from its file,
    // which may read from the item before it kept whole.
    static constexpr unsigned kMaxDepth = 2;

    struct View {
        Item item;
        std::string_view base;    // the file's own name: in the arena, or in the decoding cache
        std::string_view stream;  // a stream's name, empty for others
    };
    const View& view(std::size_t i) const;
    // Listing a folder reads each of its items several times over (its
    // row, its condition, where it was found): the items decoded last on
    // each thread are kept, by index. The view returned is the kept one,
    // good until the next view of this thread.
    struct CachedView {
        const ItemStore* store = nullptr;
        std::uint64_t generation = 0;
        std::size_t index = 0;
        View v{};
        std::string name, spare;  // a name put together from another
    };
    static CachedView& cachedView(std::size_t i);
    // Names put together from their steps, and names just added that later
    // ones are stored against, kept by item on each thread.
    struct KeptName {
        const ItemStore* store = nullptr;
        std::uint64_t generation = 0;
        std::size_t index = 0;
        std::string name;
    };
    static KeptName& keptName(std::size_t i);
    /// The kept entry is item i of this store as it is now.
    template <class Kept>
    bool holds(const Kept& kept, std::size_t i) const {
        return kept.store == this && kept.generation == m_generation && kept.index == i;
    }
    /// Decodes the item at offset over v (which holds its base's values);
    /// a name stored against the base's is put together in name, with
    /// spare as room to build it.
    void decodeInto(std::size_t index, View& v, std::string& name, std::string& spare) const;
    /// The base name of item i, put together from the names it is stored
    /// against, into out.
    void resolveName(std::size_t i, std::string& out) const;
    /// How far back the item's base lies (0: it reads from none); p is left
    /// at its mask.
    static std::size_t baseDistance(const std::uint8_t*& p);
    template <bool kWithSector>
    static void briefInto(const std::uint8_t* p, Brief& b, bool& stream);
    template <bool kWithSector, class F>
    void forEachBriefOf(F&& f) const;
    /// Appends the encoding of an item (reading from base when it is not
    /// kNone) and returns its arena offset; 0, the empty item, when full.
    /// The item's encoding, placed in the arena; its offset. withNames: its
    /// name may be stored against a recently added one other than its
    /// base's (only while adding: the recent names are those before it).
    std::uint32_t encode(const Item& item, std::string_view base, std::string_view stream, std::size_t baseIndex,
                         bool withNames = false);
    /// The most recent item the new one can read from, or kNone.
    std::size_t sharingBase(const Item& item, unsigned& depth) const;
    /// Item i kept anew with the change applied; items reading from it are
    /// first given their own fields.
    template <class Change> void rewrite(std::size_t i, Change change);
    std::uint8_t* at(std::uint32_t offset) const;
    /// Copies the bytes into the arena; their offset, or kNoOffset.
    std::uint32_t place(std::string_view first, std::string_view second);
    /// How a stream name is stored: 0 for none, an odd number naming a
    /// kept name, or kNoStreamCode for one written out.
    std::uint64_t streamNameCode(std::string_view stream);
    static constexpr std::uint64_t kNoStreamCode = 2;  // even: never a kept name's code
    static constexpr std::size_t kMaxStreamNames = 4096;
    void buildIndexes() const;

    static constexpr unsigned kSlotShift = 14;  // slots per block: 16,384
    static constexpr std::size_t kSlotMask = (std::size_t{1} << kSlotShift) - 1;
    static constexpr unsigned kArenaShift = 21;  // arena bytes per block: 2 MiB, one huge page
    static constexpr std::size_t kMaxNameBytes = std::size_t{1} << 16;
    static constexpr std::uint32_t kNoOffset = 0xFFFFFFFFu;
    static constexpr std::size_t kRecent = 4;

    // Item i's offset in the arena: the offset of the first item of its
    // group of kGroupItems plus its own 16-bit distance from it. Items are
    // placed one after the other, so the distance nearly always fits; an
    // item placed elsewhere (written anew, in a new arena block, after a
    // very long name) is found in m_farSlots instead: pages of offsets,
    // one page of kFarPageItems items made when one of them is first placed
    // far. An orphan moved to another folder is written anew, and a raw scan
    // moves hundreds of thousands; a page costs them 4 bytes each, where a
    // hash table's node cost 32 and a lookup a hash.
    static constexpr unsigned kGroupShift = 4;
    static constexpr std::uint16_t kFar = 0xFFFF;
    std::uint32_t slot(std::size_t i) const {
        const std::uint16_t near = m_slots[i >> kSlotShift][i & kSlotMask];
        return near != kFar ? m_groupStart[i >> kGroupShift] + near : m_farSlots[i >> kFarPageShift][i & kFarPageMask];
    }
    static constexpr unsigned kFarPageShift = 10;
    static constexpr std::size_t kFarPageItems = std::size_t{1} << kFarPageShift;
    static constexpr std::size_t kFarPageMask = kFarPageItems - 1;
    void setSlot(std::size_t i, std::uint32_t offset);

    // Slots and the arena grow in fixed-size blocks: the store never copies
    // what it holds, so a volume of millions of items never needs twice
    // their memory while it is read. An item never straddles two arena
    // blocks; its offset is the block number and the place in it.
    std::vector<std::unique_ptr<std::uint16_t[]>> m_slots;  // item i: its distance from its group's start
    std::vector<std::uint32_t> m_groupStart;
    std::vector<std::unique_ptr<std::uint32_t[]>> m_farSlots;
    std::size_t m_size = 0;
    std::size_t m_files = 0;  // items that are not folders
    std::vector<util::HugeBlock> m_arena;
    std::size_t m_arenaUsed = 0;  // bytes used in the last block
    std::string m_scratch;        // one encoding, before it is placed
    std::vector<std::string_view> m_streamNames;  // kept stream names, in the arena
    std::unordered_map<std::string_view, std::uint32_t> m_streamIds;
    std::size_t m_recent[kRecent] = {kNone, kNone, kNone, kNone};  // last items added that others may read from
    std::uint64_t m_recentRecord[kRecent] = {};                     // and their records
    std::uint8_t m_recentDepth[kRecent] = {};                       // and how deep they read
    std::size_t m_lastKey = kNone;                                  // the last item added that reads from none
    // A name may be stored against any of the last few distinct names added
    // (a folder's files often come in several families of names, one after
    // the other), by its item's distance back. Reading it back follows such
    // steps and steps to bases; every name is at most kMaxNameSteps steps
    // from one stored whole, so a name costs a bounded number of reads.
    static constexpr std::size_t kNameCandidates = 8;
    static constexpr unsigned kMaxNameSteps = 8;           // when a name is stored against another
    static constexpr unsigned kNameStepLimit = kMaxNameSteps + kMaxDepth + 1;  // any name, inherited ones too
    struct NameCandidate {
        std::size_t index = kNone;
        std::string name;
    };
    NameCandidate m_nameCandidates[kNameCandidates];
    std::size_t m_nextCandidate = 0;
    std::uint8_t m_nameSteps[kMaxBaseDistance + 1] = {};  // of the last items added, by index modulo
    std::uint8_t m_lastNameSteps = 0;                      // of the item encode() made last
    // Names the store's present contents for the decoding cache: renewed
    // whenever an item already held changes or the store is cleared.
    static std::uint64_t nextGeneration();
    std::uint64_t m_generation = nextGeneration();
    mutable bool m_indexed = false;
    // Files of each parent: runs of consecutive item indexes grouped by
    // parent, and where each parent's group of runs starts and how many;
    // sorted tables, not hash maps, at a fraction of their memory.
    struct FileRun {
        std::uint32_t first = 0;
        std::uint32_t end = 0;  // one past the last
    };
    struct FileGroup {
        std::uint64_t parent = 0;
        std::uint32_t start = 0;
        std::uint32_t count = 0;
    };
    struct FolderEntry {
        std::uint64_t record = 0;
        std::uint32_t index = 0;
    };
    mutable std::vector<FileRun> m_fileRuns;
    mutable std::vector<FileGroup> m_groups;     // by parent
    mutable std::vector<FolderEntry> m_folders;  // by record, then store order
};

template <bool kWithSector, class F>
void ItemStore::forEachBriefOf(F&& f) const {
    // A base lies at most kMaxBaseDistance items back: the last briefs made
    // are kept by index, so an item reads its base's values from there.
    constexpr std::size_t kRing = 256;
    static_assert(kRing > kMaxBaseDistance);
    Brief briefs[kRing];
    bool streams[kRing] = {};
    for (std::size_t i = 0; i < m_size; ++i) {
        const std::uint8_t* p = at(slot(i));
        const std::uint8_t* q = p;
        const std::size_t distance = baseDistance(q);
        Brief b;
        bool stream = false;
        if (distance != 0) {
            b = briefs[(i - distance) % kRing];
            stream = streams[(i - distance) % kRing];
        }
        briefInto<kWithSector>(p, b, stream);
        briefs[i % kRing] = b;
        streams[i % kRing] = stream;
        f(i, static_cast<const Brief&>(b));
    }
}

}  // namespace qvx::records

#pragma once
// The typed items of an analysis: one fixed-size record per file, folder
// or alternate data stream found, with every name in one UTF-8 arena. The
// searches fill it; the file list, recovery, the command line's output and
// the session log read it. Text cells are made from it only where a screen
// or a stored file shows them.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
    std::span<const std::uint32_t> filesOf(std::uint64_t parentId) const;
    /// The folder item of that record, or kNone.
    std::size_t folderOf(std::uint64_t record) const;
    /// Call after changing items' parents or flags in place.
    void invalidateIndexes() const;

    std::size_t fileCount() const;
    std::size_t memoryBytes() const;

private:
    // A stream that shares every field but its own (size, allocated size,
    // attribute, flags, its stream name) with a file or folder item of the
    // same name added just before it. Volumes with many streams keep a
    // third of the memory they would as full items. Its name is the base
    // item's, ':' and the stream name kept at nameOffset.
    struct SharedStream {
        // Sizes in 32-bit halves: the record packs into 36 bytes, not 40.
        std::uint32_t sizeLow, sizeHigh;
        std::uint32_t allocatedLow, allocatedHigh;
        std::uint32_t base;  // the full item it shares the rest with
        std::uint32_t item;  // its own index in the store
        std::uint32_t nameOffset;  // its own stream name
        std::uint16_t streamLength;
        std::uint16_t flags;
        std::uint16_t attributeId;
        ItemAttribute attribute;
    };
    // A full item as kept. The $FILE_NAME times are written when a name is
    // made, within moments of the file's creation: they are kept as 32-bit
    // differences (100-ns units, some 3.5 minutes either way) from the
    // $STANDARD_INFORMATION creation time, and in a side table only when
    // one of them lies further off.
    struct StoredItem {
        std::uint64_t record;
        std::uint64_t parent;
        ItemTimes times;
        std::uint64_t size;
        std::uint64_t allocatedSize;
        std::uint64_t sector;
        std::uint32_t entryOffset;
        std::uint32_t attributes;
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::int32_t fileNameTimes[4];  // created, modified, changed, accessed; or kFarTimes and an index
        std::uint16_t streamLength;
        std::uint16_t sequence;
        std::uint16_t parentSequence;
        std::uint16_t flags;
        std::uint16_t attributeId;
        std::uint16_t fileNameId;
        std::uint16_t ownerId;
        ItemAttribute attribute;
        std::uint8_t fileNameUnits;
        bool isStream() const { return (flags & kItemStream) != 0; }
    };
    static constexpr std::int32_t kFarTimes = INT32_MIN;
    static constexpr std::uint32_t kSharedSlot = 0x80000000u;
    // A full item that some shared stream reads its fields from; kept in the
    // stored item's flags only.
    static constexpr std::uint16_t kSharedBase = 0x8000;

    void buildIndexes() const;
    std::uint32_t storeName(std::string_view name, std::string_view streamName, std::size_t& length);
    std::uint32_t slot(std::size_t i) const { return m_slots[i >> kBlockShift][i & kBlockMask]; }
    std::uint32_t& slot(std::size_t i) { return m_slots[i >> kBlockShift][i & kBlockMask]; }
    const StoredItem& full(std::uint32_t n) const { return m_full[n >> kBlockShift][n & kBlockMask]; }
    StoredItem& full(std::uint32_t n) { return m_full[n >> kBlockShift][n & kBlockMask]; }
    Item fullItem(std::uint32_t n) const;
    ItemTimes fileNameTimesOf(const StoredItem& s) const;
    const SharedStream& shared(std::uint32_t n) const { return m_shared[n >> kBlockShift][n & kBlockMask]; }
    std::uint32_t appendFull(const Item& item);
    /// The full item the stream can share its fields with, or kNoBase.
    std::uint32_t sharingBase(const Item& stream, std::string_view name) const;
    /// The name bytes kept for a full item, or a shared stream's own name.
    std::string_view stored(std::uint32_t offset, std::size_t length) const;
    /// A shared stream's fields; its name fields are its own stream name's.
    Item sharedItem(const SharedStream& s) const;
    /// Shared stream k as a full item, its whole name stored.
    Item expanded(std::uint32_t k);
    /// Gives item i a full item of its own, and every stream sharing it too.
    StoredItem& own(std::size_t i);

    // Items and names live in fixed-size blocks: the store grows without
    // ever copying what it holds, so a volume of millions of items never
    // needs twice their memory while it is read. A name never straddles
    // two name blocks; its offset is the block number and the place in it.
    static constexpr unsigned kBlockShift = 14;  // items per block: 16,384
    static constexpr std::size_t kBlockMask = (std::size_t{1} << kBlockShift) - 1;
    static constexpr unsigned kArenaShift = 20;  // name bytes per block: 1 MiB
    static constexpr std::size_t kMaxNameBytes = std::size_t{1} << 16;
    static constexpr std::uint32_t kNoBase = 0xFFFFFFFFu;
    static constexpr std::size_t kRecentFull = 4;

    // Item i is m_slots[i]: a full item, or with kSharedSlot a shared stream.
    std::vector<std::unique_ptr<std::uint32_t[]>> m_slots;
    std::size_t m_size = 0;
    std::vector<std::unique_ptr<StoredItem[]>> m_full;
    std::vector<ItemTimes> m_fileNameTimes;
    std::uint32_t m_fullSize = 0;
    std::vector<std::unique_ptr<SharedStream[]>> m_shared;
    std::uint32_t m_sharedSize = 0;
    bool m_sharedInBaseOrder = true;  // shared streams are added in the order of their bases
    std::uint32_t m_recent[kRecentFull] = {kNoBase, kNoBase, kNoBase, kNoBase};  // last full items added
    std::vector<std::unique_ptr<char[]>> m_arena;
    std::size_t m_arenaUsed = 0;  // bytes used in the last name block
    mutable bool m_indexed = false;
    // Files of each parent: one list of item indexes grouped by parent,
    // and where each parent's group starts and how long it is.
    struct FileGroup {
        std::uint32_t start = 0;
        std::uint32_t count = 0;
    };
    mutable std::vector<std::uint32_t> m_fileIndexes;
    mutable std::unordered_map<std::uint64_t, FileGroup> m_filesByParent;
    mutable std::unordered_map<std::uint64_t, std::size_t> m_folders;
};

}  // namespace qvx::records

#include "ntfs/standard_search.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ntfs/fixup.h"
#include "ntfs/mft_file.h"
#include "ntfs/mft_header.h"
#include "records/lost_directories.h"
#include "util/huge_pages.h"

namespace qvx::ntfs {

namespace {

using records::FolderColumn;

constexpr const char* kBootSectorsFoundLabel = "Boot Sectors Found\t\t:";
// Bound on the names listed for one file (a record holds at most a few
// dozen; more can only come from a damaged attribute list).
constexpr std::size_t kMaxHardLinks = 1024;
// Screen texts are refreshed every this many slots and at the end.
constexpr std::uint64_t kReportEvery = 1024;

std::uint32_t saturate32(std::uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v); }

/// Extension records and non-resident attribute lists, read through the
/// MFT's own runs.
class WalkSource : public MftFileSource {
public:
    WalkSource(const partition::VolumeRange& volume, const MftRunTable& runs, std::uint32_t sectorsPerCluster,
               util::Diagnostics* diagnostics)
        : m_volume(volume), m_runs(runs), m_sectorsPerCluster(sectorsPerCluster), m_diagnostics(diagnostics),
          m_volumeClusters(volumeClusterCount(volume, sectorsPerCluster)) {
        // Room for the lists of a chunk's thousand records or so (a file with
        // a list outside its record has a few hundred bytes to a few KiB of
        // it); pages are only used as they are written.
        for (ListSlot& slot : m_slots) {
            slot.entries.reserve(1024);
            slot.runs.reserve(2048);
            slot.bytes.reserve(std::size_t{1} << 20);
        }
        m_aheadRecord.reserve(std::max<std::size_t>(runs.recordBytes(), 4096));
        m_aheadRuns.reserve(256);
        m_aheadList.reserve(std::size_t{64} << 10);
    }

    /// The record being visited and the bytes of those after it in memory.
    void setVisited(std::uint64_t n, std::span<const std::uint8_t> following) {
        m_visited = n;
        m_following = following;
    }

    bool readExtension(std::uint64_t n, std::vector<std::uint8_t>& out) override {
        const std::size_t recordBytes = m_runs.recordBytes();
        if (recordBytes != 0 && n > m_visited && n - m_visited <= m_following.size() / recordBytes) {
            const std::size_t at = static_cast<std::size_t>(n - m_visited - 1) * recordBytes;
            out.assign(m_following.begin() + static_cast<std::ptrdiff_t>(at),
                       m_following.begin() + static_cast<std::ptrdiff_t>(at + recordBytes));
        } else {
            out.assign(recordBytes, 0);
            if (!cachedRecord(n, out)) {
                const std::uint32_t bad = m_runs.readRecord(m_volume, n, out);
                if (bad != 0 && m_diagnostics != nullptr)
                    m_diagnostics->add(util::Problem::UnreadableRecords, 1, n, m_runs.recordSector(n));
            }
        }
        if (!isFileRecord(out)) return false;
        const FixupResult fix = applyFixup(out, out.size());
        if (fix.torn() && m_diagnostics != nullptr)
            m_diagnostics->add(util::Problem::TornRecord, 1, n, m_runs.recordSector(n) + fix.firstTorn);
        return true;
    }

    bool readRuns(const std::vector<Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) override {
        if (!runs.empty() && takeListReadAhead(runs, bytes, out)) return true;
        return readRunBytes(m_volume, m_volume.SectorRangeStart, m_sectorsPerCluster, runs, bytes, out);
    }

    /// On the read-ahead thread: reads the attribute lists kept outside the
    /// records of a chunk about to be walked. A file with many streams or
    /// names has one, in a cluster of its own anywhere on the volume; read
    /// here, the walk finds it read instead of waiting for it. A list read
    /// here is one the walk asks for with the same runs and length, so it
    /// gets the same bytes; any other it reads itself. Everything is kept in
    /// room made beforehand by the walk's thread: memory this thread
    /// allocated would stay with its own heap once freed.
    void readListsAhead(std::span<const std::uint8_t> chunk) {
        const std::size_t recordBytes = m_runs.recordBytes();
        if (recordBytes == 0 || recordBytes > m_aheadRecord.capacity()) return;
        ListSlot& slot = m_slots[m_staging];
        slot.clear();
        for (std::size_t at = 0; at + recordBytes <= chunk.size(); at += recordBytes) {
            std::vector<std::uint8_t>& record = m_aheadRecord;
            record.assign(chunk.begin() + static_cast<std::ptrdiff_t>(at),
                          chunk.begin() + static_cast<std::ptrdiff_t>(at + recordBytes));
            if (!isFileRecord(record) || applyFixup(record, record.size()).torn()) continue;
            MftHeader header;
            if (!parseMftHeader(record, header).ok() || header.isExtension()) continue;
            std::vector<Run>& runs = m_aheadRuns;
            runs.clear();
            std::uint64_t bytes = 0;
            (void)forEachAttribute(record, header, [&](const Attribute& a) {
                if (a.type != kAttrList) return true;
                if (a.nonResident && !attributeListRuns(a, m_volumeClusters, runs, bytes).ok()) runs.clear();
                return false;
            });
            if (runs.empty() || bytes == 0) continue;
            // Only what fits the room made: the rest the walk reads itself.
            if (bytes + 2 * kSectorBytes > m_aheadList.capacity() || slot.entries.size() == slot.entries.capacity() ||
                slot.bytes.size() + bytes > slot.bytes.capacity() ||
                slot.runs.size() + runs.size() > slot.runs.capacity())
                continue;
            if (!readRunBytes(m_volume, m_volume.SectorRangeStart, m_sectorsPerCluster, runs, bytes, m_aheadList))
                continue;  // read again by the walk, which tells what is missing
            slot.entries.push_back({slot.runs.size(), runs.size(), bytes, slot.bytes.size()});
            slot.runs.insert(slot.runs.end(), runs.begin(), runs.end());
            slot.bytes.insert(slot.bytes.end(), m_aheadList.begin(), m_aheadList.end());
        }
        // The slot of the chunk before the one walked now is filled next.
        const std::lock_guard lock(m_listsMutex);
        std::swap(m_staging, m_published[m_oldest]);
        m_oldest ^= 1;
    }

private:
    static constexpr std::uint32_t kSectorBytes = 512;
    /// The attribute lists read ahead for one chunk of records, in record
    /// order: each entry's runs and bytes lie in the slot's shared vectors.
    struct ListSlot {
        struct Entry {
            std::size_t runsAt = 0, runCount = 0;
            std::uint64_t bytes = 0;
            std::size_t at = 0;
        };
        std::vector<Entry> entries;
        std::vector<Run> runs;
        std::vector<std::uint8_t> bytes;
        std::size_t next = 0;  // entries before it were asked for, or passed
        void clear() {
            entries.clear();
            runs.clear();
            bytes.clear();
            next = 0;
        }
    };

    bool takeListReadAhead(const std::vector<Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) {
        const std::lock_guard lock(m_listsMutex);
        for (const int index : m_published) {
            ListSlot& slot = m_slots[index];
            // Files ask in record order: their lists are found from where the
            // last one was.
            for (std::size_t k = slot.next; k < slot.entries.size(); ++k) {
                const ListSlot::Entry& e = slot.entries[k];
                if (e.bytes != bytes || e.runCount != runs.size()) continue;
                const auto first = slot.runs.begin() + static_cast<std::ptrdiff_t>(e.runsAt);
                if (!std::equal(runs.begin(), runs.end(), first)) continue;
                const auto from = slot.bytes.begin() + static_cast<std::ptrdiff_t>(e.at);
                out.assign(from, from + static_cast<std::ptrdiff_t>(e.bytes));
                slot.next = k + 1;
                return true;
            }
        }
        return false;
    }

    // A file's extension records are mostly written together, near one
    // another: they are read in blocks of records, a few blocks kept, so a
    // file with many of them costs one request instead of one per record.
    static constexpr std::uint32_t kBlockRecords = 64;
    static constexpr std::size_t kCachedBlocks = 8;
    struct Block {
        std::uint64_t first = UINT64_MAX;
        std::vector<std::uint8_t> bytes;
        std::uint64_t used = 0;
        bool whole = false;  // every sector of it was read
    };

    /// Record n from a cached block; false when its block could not be read
    /// whole (the record is then read alone, so its own problems are told).
    bool cachedRecord(std::uint64_t n, std::vector<std::uint8_t>& out) {
        const std::uint64_t records = m_runs.recordCount();
        if (n >= records) return false;
        const std::uint64_t first = n / kBlockRecords * kBlockRecords;
        Block* hit = nullptr;
        for (Block& b : m_blocks)
            if (b.first == first) hit = &b;
        if (hit == nullptr) {
            if (m_blocks.size() < kCachedBlocks) m_blocks.emplace_back();
            hit = &*std::min_element(m_blocks.begin(), m_blocks.end(),
                                     [](const Block& a, const Block& b) { return a.used < b.used; });
            const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlockRecords, records - first));
            hit->bytes.assign(std::size_t{count} * m_runs.recordBytes(), 0);
            hit->first = first;
            hit->whole = m_runs.readRecords(m_volume, first, count, hit->bytes) == 0;
        }
        hit->used = ++m_clock;
        if (!hit->whole) return false;
        const std::size_t at = static_cast<std::size_t>(n - first) * m_runs.recordBytes();
        std::copy_n(hit->bytes.begin() + static_cast<std::ptrdiff_t>(at), m_runs.recordBytes(), out.begin());
        return true;
    }

    const partition::VolumeRange& m_volume;
    const MftRunTable& m_runs;
    std::uint32_t m_sectorsPerCluster;
    util::Diagnostics* m_diagnostics;
    std::vector<Block> m_blocks;
    std::uint64_t m_clock = 0;
    std::uint64_t m_visited = 0;
    std::span<const std::uint8_t> m_following;
    std::uint64_t m_volumeClusters = 0;
    // Three slots: one filled by the read-ahead thread, two the walk may
    // take from (the chunk it walks and the one before), swapped under the
    // lock.
    std::mutex m_listsMutex;
    ListSlot m_slots[3];
    int m_staging = 0;
    int m_published[2] = {1, 2};
    int m_oldest = 0;
    // Used by the read-ahead thread only.
    std::vector<std::uint8_t> m_aheadRecord;
    std::vector<Run> m_aheadRuns;
    std::vector<std::uint8_t> m_aheadList;
};

records::ItemTimes itemTimes(const NtfsTimes& t) { return {t.created, t.modified, t.changed, t.accessed}; }

class MftWalk {
public:
    MftWalk(const partition::VolumeRange& volume, const MftRunTable& runs, std::uint32_t sectorsPerCluster,
            records::RecordTables& tables, records::ItemStore& items, util::ProgressSink& progress,
            util::Diagnostics* diagnostics, records::WalkRuns* walkRuns)
        : m_volume(volume), m_runs(runs), m_tables(tables), m_items(items), m_progress(progress),
          m_diagnostics(diagnostics), m_walkRuns(walkRuns), m_source(volume, runs, sectorsPerCluster, diagnostics),
          m_volumeClusters(volumeClusterCount(volume, sectorsPerCluster)), m_total(runs.totalSectors()),
          m_recordSectors(runs.recordBytes() / 512) {}

    WalkResult run(std::stop_token stop) {
        m_progress.setCounter(kMftFoundLabel, "");
        m_progress.setCounter(kBootSectorsFoundLabel, "");
        appendMiscellaneousRow(m_tables.FolderTable);
        WalkResult result;
        const MftRunTable::SkipVisitor skipped = [&](std::uint64_t first, std::uint64_t count, std::uint64_t lba) {
            m_done += count * m_recordSectors;
            if (m_diagnostics != nullptr) m_diagnostics->add(util::Problem::UnreadableRecords, count, first, lba);
            result.slotCount = first + count;
            report();
        };
        result.stopped = !m_runs.forEachRecord(
            m_volume, stop,
            [&](std::uint64_t n, std::span<std::uint8_t> record, std::uint64_t lba, std::uint32_t bad) {
                m_done += m_recordSectors;
                visit(n, record, lba, bad);
                if (n % kReportEvery == 0) report();
                result.slotCount = n + 1;
            },
            &skipped, &m_following, &m_listsAhead);
        report();
        fillFolderTable();
        // Only the deleted items' runs are kept. Which live files own their
        // clusters matters only where some are in use again, and is found
        // then by a second walk: keeping every live file's runs cost more
        // memory than its items on a volume of hundreds of thousands of files.
        if (m_walkRuns != nullptr && !result.stopped) m_walkRuns->deleted.finish(m_items.size());
        return result;
    }

private:
    void problem(util::Problem kind, std::uint64_t n, std::uint64_t lba, std::string reason = {}) {
        if (m_diagnostics != nullptr) m_diagnostics->add(kind, 1, n, lba, std::move(reason));
    }

    void visit(std::uint64_t n, std::span<std::uint8_t> record, std::uint64_t lba, std::uint32_t bad) {
        if (bad != 0) problem(util::Problem::UnreadableRecords, n, lba);
        if (bad == m_recordSectors) return;
        if (!isFileRecord(record)) {
            if (util::bytesEqual(record, 0, "BAAD")) problem(util::Problem::CorruptRecord, n, lba, "marked BAAD");
            return;
        }
        const FixupResult fix = applyFixup(record, record.size());
        if (fix.torn()) problem(util::Problem::TornRecord, n, lba + fix.firstTorn);
        m_source.setVisited(n, m_following);
        MftFile& file = m_file;  // one for the whole walk, so its buffers are reused
        if (!decodeMftFile(record, n, lba, &m_source, m_volumeClusters, file, m_diagnostics).ok()) return;
        // An extension record holds attributes of its base record's file;
        // it is taken with that file, not as an item of its own.
        if (file.header.isExtension()) return;
        const NamedFileName* name = file.bestName();
        if (name == nullptr) return;

        // 0x01 in use, 0x02 directory; other bits (0x04 in $Extend, 0x08
        // view index) do not change what the record is.
        const bool folder = (file.header.flags & 0x02) != 0;
        const bool deleted = (file.header.flags & 0x01) == 0;
        records::Item item;
        item.record = n;
        item.sequence = file.header.sequence;
        item.parent = name->value.parent.record;
        item.parentSequence = name->value.parent.sequence;
        if (file.hasStandardInformation) {
            item.times = itemTimes(file.standardInformation.times);
            item.attributes = file.standardInformation.attributes;
            item.ownerId = static_cast<std::uint16_t>(std::min<std::uint32_t>(file.standardInformation.ownerId, 0xFFFF));
        } else {
            item.times = itemTimes(name->value.times);
            item.attributes = name->value.attributes;
        }
        item.fileNameTimes = itemTimes(name->value.times);
        item.flags |= records::kItemHasFileNameTimes;
        const NamedFileName* timelineName = file.lastLongName();
        item.fileNameId = timelineName->attributeId;
        item.fileNameUnits = timelineName->nameUnitCount;
        item.sector = lba;
        if (deleted) item.flags |= records::kItemDeleted;
        if (!file.extensionsComplete || fix.torn() || bad != 0) item.flags |= records::kItemIncomplete;
        if (n < 16 || (n < 32 && name->name.starts_with("$"))) item.flags |= records::kItemSystem;

        if (folder) {
            item.flags |= records::kItemFolder;
            if (file.hasIndexRoot) {
                item.attribute = records::ItemAttribute::IndexRoot;
                item.attributeId = file.indexRootId;
                item.size = file.indexRootBytes;
            }
            m_folders.push_back(m_items.add(item, name->name));
        }
        const DataStream* data = folder ? nullptr : file.unnamedData();
        if (!folder) {
            if (data != nullptr) {
                item.size = data->dataSize;
                item.allocatedSize = data->allocatedSize;
                item.attribute = records::ItemAttribute::Data;
                item.attributeId = data->attributeId;
                if (!data->complete) item.flags |= records::kItemIncomplete;
            }
            // A file without unnamed data but with named streams or indexes
            // ($Secure, $Quota) is listed by those alone.
            const bool onlyNamed = data == nullptr && (file.streams.size() + file.namedIndexes.size()) != 0;
            if (!onlyNamed) {
                noteDeleted(m_items.add(item, name->name), item, data);
                addHardLinks(file, *name, item, data);
            }
        }
        // Alternate data streams and named indexes follow their file (or
        // folder) as "name:stream" items in the same parent.
        records::Item stream = item;
        stream.flags = static_cast<std::uint16_t>(item.flags & ~records::kItemFolder);
        bool namesFile = !folder && data == nullptr;
        for (const DataStream& s : file.streams) {
            if (s.name.empty()) continue;
            stream.size = s.dataSize;
            stream.allocatedSize = s.allocatedSize;
            stream.attribute = records::ItemAttribute::Data;
            stream.attributeId = s.attributeId;
            stream.flags = static_cast<std::uint16_t>(s.complete ? stream.flags & ~records::kItemIncomplete
                                                                 : stream.flags | records::kItemIncomplete);
            const std::uint16_t plain = stream.flags;
            if (namesFile) stream.flags |= records::kItemNamesFile;
            namesFile = false;
            noteDeleted(m_items.add(stream, name->name, s.name), stream, &s);
            stream.flags = plain;
            // A folder's stream is also listed inside the folder, as ".:stream".
            if (folder) {
                records::Item inside = stream;
                inside.parent = n;
                noteDeleted(m_items.add(inside, ".", s.name), inside, &s);
            }
        }
        for (const MftFile::NamedIndex& index : file.namedIndexes) {
            stream.size = index.root.size();
            stream.allocatedSize = stream.size;
            stream.attribute = records::ItemAttribute::IndexRoot;
            stream.attributeId = index.attributeId;
            const std::uint16_t plain = stream.flags;
            if (namesFile) stream.flags |= records::kItemNamesFile;
            namesFile = false;
            noteDeleted(m_items.add(stream, name->name, index.name), stream, nullptr);
            stream.flags = plain;
        }
        m_counter = n + 2;
    }

    /// The folder rows, one per folder item in MFT order, made once the
    /// walk is done: the folder items hold every value of them, and the
    /// table is then made at its size, not grown while the items are read.
    void fillFolderTable() {
        records::RecordTable& table = m_tables.FolderTable;
        const std::vector<std::size_t>& folders = m_folders;
        std::size_t bytes = 0;
        for (const std::size_t i : folders) bytes += m_items.baseName(i).size() + 60;
        table.reserve(folders.size(), bytes);
        for (const std::size_t i : folders) {
            const records::Item item = m_items[i];
            if (!item.isFolder()) continue;  // past 4 GiB of items the store keeps an empty one
            const int row = table.appendRow(m_items.baseName(i));
            table.setU32(row, FolderColumn::kSector, saturate32(item.sector));
            table.setU32(row, FolderColumn::kSelf, saturate32(item.record));
            table.setU32(row, FolderColumn::kParent, saturate32(item.parent));
            // The creation time of the name shown.
            table.setI64(row, FolderColumn::kDate, item.fileNameTimes.created);
            table.setCell(row, FolderColumn::kSize, "0");
            table.setCell(row, FolderColumn::kType, "FOLDER");
            if (item.deleted()) table.setCell(row, FolderColumn::kDeleted, "1");
        }
    }

    /// Further hard links: every other name that is not a DOS alias is the
    /// same file listed in another folder or under another name.
    void addHardLinks(const MftFile& file, const NamedFileName& shown, const records::Item& item,
                      const DataStream* data) {
        if (file.names.size() < 2) return;
        std::vector<const NamedFileName*>& added = m_links;
        added.assign(1, &shown);
        for (const NamedFileName& link : file.names) {
            if (link.value.nameSpace == static_cast<std::uint8_t>(NameSpace::Dos)) continue;
            const bool seen = std::any_of(added.begin(), added.end(), [&](const NamedFileName* a) {
                return a->value.parent.record == link.value.parent.record && a->name == link.name;
            });
            if (seen || added.size() >= kMaxHardLinks) continue;
            added.push_back(&link);
            records::Item other = item;
            other.parent = link.value.parent.record;
            other.parentSequence = link.value.parent.sequence;
            other.fileNameTimes = itemTimes(link.value.times);
            noteDeleted(m_items.add(other, link.name), other, data);
        }
    }

    /// Keeps the runs of a deleted file or stream item (none when its data
    /// is resident or absent).
    void noteDeleted(std::size_t index, const records::Item& item, const DataStream* data) {
        if (m_walkRuns == nullptr || !item.deleted()) return;
        m_walkRuns->deleted.begin(index);
        if (data == nullptr || data->resident) return;
        for (const Run& r : data->runs)
            if (!r.sparse) m_walkRuns->deleted.addRun(r.lcn, r.clusters);
    }

    void report() {
        const std::uint64_t shown = std::min(m_done, m_total);
        m_progress.setStatusText("Sectors  " + std::to_string(shown) + " of " + std::to_string(m_total));
        if (m_counter != 0) m_progress.setCounter(kMftFoundLabel, std::to_string(m_counter));
        if (m_total != 0) {
            m_progress.setProgress(static_cast<int>(std::min<std::uint64_t>(100, m_done * 100 / m_total)),
                                   "Completed ");
            m_progress.setAmount(shown * disk::kSectorSize, m_total * disk::kSectorSize, "bytes");
        }
    }

    const partition::VolumeRange& m_volume;
    const MftRunTable& m_runs;
    records::RecordTables& m_tables;
    records::ItemStore& m_items;
    util::ProgressSink& m_progress;
    util::Diagnostics* m_diagnostics;
    records::WalkRuns* m_walkRuns;
    WalkSource m_source;
    const std::uint64_t m_volumeClusters;
    const std::uint64_t m_total;
    const std::uint32_t m_recordSectors;
    MftFile m_file;
    std::vector<const NamedFileName*> m_links;
    std::vector<std::size_t> m_folders;  // the folder items, in store order
    std::span<const std::uint8_t> m_following;  // the records read after the one visited
    const MftRunTable::ChunkVisitor m_listsAhead = [this](std::span<const std::uint8_t> chunk) {
        m_source.readListsAhead(chunk);
    };
    std::uint64_t m_done = 0;
    std::uint64_t m_counter = 0;  // "MFT Found": the number of the last record added plus 2
};

}  // namespace

std::uint64_t volumeClusterCount(const partition::VolumeRange& volume, std::uint32_t sectorsPerCluster) {
    const std::uint64_t end = std::max(volume.SectorRangeEnd, volume.ClaimedEnd);
    if (sectorsPerCluster == 0 || end < volume.SectorRangeStart || end == 0) return 0;
    return (end - volume.SectorRangeStart + 1) / sectorsPerCluster;
}

void appendMiscellaneousRow(records::RecordTable& FolderTable) {
    const int row = FolderTable.appendRow(records::kMiscFolderName);
    FolderTable.setCell(row, FolderColumn::kSector, "0");
    FolderTable.setU32(row, FolderColumn::kSelf, records::kMiscFolderId);
    FolderTable.setCell(row, FolderColumn::kParent, "5");
    FolderTable.setCell(row, FolderColumn::kDate, "0");
    FolderTable.setCell(row, FolderColumn::kTime, "0");
    FolderTable.setCell(row, FolderColumn::kSize, "0");
    FolderTable.setCell(row, FolderColumn::kAttr, "16");
    FolderTable.setCell(row, FolderColumn::kSysId, "0");
    FolderTable.setCell(row, FolderColumn::kType, "FOLDER");
}

void addLiveClusters(const MftFile& file, records::ClusterOwnerIndex& live) {
    for (const DataStream& s : file.streams) {
        if (s.resident) continue;
        for (const Run& r : s.runs)
            if (!r.sparse) live.add(r.lcn, r.clusters, file.number);
    }
}

WalkResult walkMft(const partition::VolumeRange& volume, const MftRunTable& runs, std::uint32_t sectorsPerCluster,
                   records::RecordTables& tables, records::ItemStore& items, util::ProgressSink& progress,
                   std::stop_token stop, util::Diagnostics* diagnostics, records::WalkRuns* walkRuns) {
    if (walkRuns != nullptr) walkRuns->clear();
    MftWalk walk(volume, runs, sectorsPerCluster, tables, items, progress, diagnostics, walkRuns);
    return walk.run(stop);
}

bool collectLiveClusters(const partition::VolumeRange& volume, const MftRunTable& runs,
                         std::uint32_t sectorsPerCluster, records::ClusterOwnerIndex& live, std::stop_token stop) {
    live.clear();
    WalkSource source(volume, runs, sectorsPerCluster, nullptr);
    const std::uint64_t volumeClusters = volumeClusterCount(volume, sectorsPerCluster);
    const std::uint32_t recordSectors = runs.recordBytes() / 512;
    std::span<const std::uint8_t> following;
    MftFile file;
    const bool done = runs.forEachRecord(
        volume, stop,
        [&](std::uint64_t n, std::span<std::uint8_t> record, std::uint64_t lba, std::uint32_t bad) {
            if (bad == recordSectors || !isFileRecord(record)) return;
            (void)applyFixup(record, record.size());
            source.setVisited(n, following);
            if (!decodeMftFile(record, n, lba, &source, volumeClusters, file, nullptr).ok()) return;
            if (!file.header.isExtension() && (file.header.flags & 1) != 0) addLiveClusters(file, live);
        },
        nullptr, &following);
    if (done) live.finish();
    return done;
}

bool runNtfsStandardSearch(const partition::VolumeRange& volume, const partition::VolumeParameters& params,
                           MftRunTable& runs, records::RecordTables& tables, records::ItemStore& items,
                           records::FolderNodeList& nodes, util::ProgressSink& progress, std::stop_token stop,
                           util::Diagnostics* diagnostics, records::WalkRuns* walkRuns) {
    tables.FolderTable.clear();
    tables.FileTable.clear();
    items.clear();
    nodes.clear();
    runs.clear();
    runs.setRecordBytes(params.sectorsPerMftRecord * 512);
    (void)runs.buildMftRunTable(volume, params.cluster0Start, params.mftStart, params.sectorsPerCluster,
                                params.mftMirrorStart, diagnostics);

    const WalkResult walk =
        walkMft(volume, runs, params.sectorsPerCluster, tables, items, progress, stop, diagnostics, walkRuns);
    // The tree is built beside the items: the arena's unfilled end need not
    // be held meanwhile (the few items the tree moves are written there).
    items.releaseUnusedArena();
    util::releaseFreedHeap();

    // A stopped walk still gets its tree: the folders and files found so far
    // are arranged the same way, which takes little time.
    records::FolderTreeSteps steps;
    steps.items = &items;
    steps.nodes = &nodes;
    steps.pleaseWait = true;
    (void)records::finishFolderTree(records::VolumeKind::Ntfs, tables.FolderTable, steps, progress);

    progress.setHelpText(kResultHelpText);
    if (items.fileCount() == 0) progress.showMessage(kNoRecoveryMessage, util::MessageKind::Information);
    return !walk.stopped;
}

}  // namespace qvx::ntfs

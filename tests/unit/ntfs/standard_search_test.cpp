#include "ntfs/standard_search.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "disk/sector_reader.h"
#include "ntfs/mft_run_table.h"
#include "record_builder.h"
#include "records/tables.h"

namespace qvx::ntfs {
namespace {

using records::FolderColumn;
using test::RecordBuilder;

TEST(MftRunTable, DecodesRelativeNegativeAndSparseRuns) {
    MftRunTable table;
    // 4 clusters at 0x100; 2 clusters 0x40 back; sparse 3; 1 cluster +0x10.
    const std::vector<std::uint8_t> runs{0x21, 0x04, 0x00, 0x01, 0x11, 0x02, 0xC0, 0x01, 0x03, 0x11, 0x01, 0x10, 0x00};
    table.appendRunList(runs, 0, 1000, 8);
    ASSERT_EQ(table.runCount(), 4u);
    EXPECT_EQ(table.start(0), 1000u + 0x100 * 8);
    EXPECT_EQ(table.length(0), 32u);
    EXPECT_EQ(table.start(1), 1000u + 0xC0 * 8);
    EXPECT_EQ(table.start(2), 0u);
    EXPECT_EQ(table.length(2), 24u);
    EXPECT_EQ(table.start(3), 1000u + 0xD0 * 8);  // relative to the last non-sparse run
    EXPECT_EQ(table.totalSectors(), 32u + 16 + 24 + 8);
}

TEST(MftRunTable, RecordSectorWalksTheRunsAndIsZeroBeyond) {
    MftRunTable table;
    table.appendRunList(std::vector<std::uint8_t>{0x11, 0x01, 0x10, 0x11, 0x01, 0x20, 0x00}, 0, 0, 8);
    EXPECT_EQ(table.recordSector(0), 0x10u * 8);
    EXPECT_EQ(table.recordSector(3), 0x10u * 8 + 6);
    EXPECT_EQ(table.recordSector(4), 0x30u * 8);
    EXPECT_EQ(table.recordSector(7), 0x30u * 8 + 6);
    EXPECT_EQ(table.recordSector(8), 0u);
}

TEST(MftRunTable, TruncatedRunListsStopAtTheBuffer) {
    MftRunTable table;
    table.appendRunList(std::vector<std::uint8_t>{0x44, 0x01}, 0, 0, 8);
    EXPECT_EQ(table.runCount(), 0u);
    table.appendRunList(std::vector<std::uint8_t>{}, 5, 0, 8);
    EXPECT_EQ(table.runCount(), 0u);
}

TEST(MftRunTable, ExtensionRecordsOfTheMftAddTheirRuns) {
    std::vector<std::uint8_t> image(2 * 1024 * 1024, 0);
    auto place = [&](std::uint64_t lba, const std::vector<std::uint8_t>& record) {
        std::copy(record.begin(), record.end(), image.begin() + static_cast<std::ptrdiff_t>(lba * 512));
    };
    // Record 0: first extent (2 clusters at cluster 4) and a list naming the
    // second extent in record 3, which lies inside the first extent.
    place(32, RecordBuilder(1, 0)
                  .fileName("$MFT", 3, 5)
                  .attributeList({{0x10, 0}, {0x80, 0}, {0x80, 3}})
                  .nonResident(0x80, 32 * 1024, {0x11, 0x02, 0x04})
                  .build());
    place(32 + 6, RecordBuilder(1, 3).nonResident(0x80, 0, {0x11, 0x02, 0x64}, "", 2).build());
    place(32 + 10, RecordBuilder(3, 5).fileName(".", 3, 5).build());
    disk::SectorReader reader;
    reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(image));
    partition::VolumeRange range;
    range.reader = &reader;
    range.SectorRangeEnd = image.size() / 512 - 1;
    MftRunTable runs;
    runs.buildMftRunTable(range, 0, 32, 8);
    ASSERT_EQ(runs.runCount(), 2u);
    EXPECT_EQ(runs.start(0), 32u);
    EXPECT_EQ(runs.start(1), 800u);  // relative to cluster 0, not to the first extent
    EXPECT_EQ(runs.recordSector(8), 800u);
}

/// A small volume in memory: 8 sectors per cluster, MFT at cluster 4 with
/// 16 record slots; the records are put in place by the tests. User records
// are numbered above the root (5), as on real volumes.
class SyntheticVolume {
public:
    static constexpr std::uint32_t kMftLba = 32;

    /// slots: records of the MFT, a multiple of 4 (one cluster holds four).
    explicit SyntheticVolume(std::uint32_t slots = 16, std::size_t imageBytes = 4 * 1024 * 1024)
        : m_image(imageBytes, 0) {
        // Record 0, $MFT: its data starts at cluster 4 (16 slots: 4 clusters).
        const std::uint32_t clusters = slots / 4;
        put(0, RecordBuilder(1, 0)
                   .fileName("$MFT", 3, 5)
                   .nonResident(0x80, std::uint64_t{slots} * 1024,
                                {0x12, static_cast<std::uint8_t>(clusters), static_cast<std::uint8_t>(clusters >> 8), 0x04})
                   .build());
        put(5, RecordBuilder(3, 5).fileName(".", 3, 5).build());
    }
    void put(std::uint32_t number, const std::vector<std::uint8_t>& record) {
        std::copy(record.begin(), record.end(), m_image.begin() + (kMftLba + 2 * number) * 512);
    }
    /// Bytes of cluster (4 KiB) cluster, from its start.
    void putCluster(std::uint32_t cluster, const std::vector<std::uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), m_image.begin() + std::size_t{cluster} * 4096);
    }
    partition::VolumeRange attach(disk::SectorReader& reader) {
        reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(m_image));
        partition::VolumeRange range;
        range.reader = &reader;
        range.diskIndex = 0;
        range.SectorRangeStart = 0;
        range.SectorRangeEnd = m_image.size() / 512 - 1;
        return range;
    }
    partition::VolumeParameters params() const {
        partition::VolumeParameters p;
        p.sectorsPerCluster = 8;
        p.cluster0Start = 0;
        p.mftStart = kMftLba;
        return p;
    }

private:
    std::vector<std::uint8_t> m_image;
};

class RecordingProgress : public util::ProgressSink {
public:
    void setStatusText(const std::string& text) override { status = text; }
    void setCounter(const std::string& label, const std::string& value) override { counters[label] = value; }
    void showMessage(const std::string& text, util::MessageKind) override { messages.push_back(text); }
    std::string status;
    std::map<std::string, std::string> counters;
    std::vector<std::string> messages;
};

int rowOfSelf(const records::RecordTable& table, std::uint32_t self) {
    for (int row = 0; row < table.rowCount(); ++row)
        if (table.getU32(row, FolderColumn::kSelf) == self) return row;
    return -1;
}

/// An item found in the store, with its index; compares equal to nullptr
/// when there is none.
struct FoundItem {
    records::Item item;
    std::size_t index = records::ItemStore::kNone;
    const records::Item* operator->() const { return &item; }
    bool operator==(std::nullptr_t) const { return index == records::ItemStore::kNone; }
};

/// The first file item (not a folder, not a stream) of the record.
FoundItem fileOf(const records::ItemStore& items, std::uint64_t record) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        const records::Item it = items[i];
        if (it.record == record && !it.isFolder() && !it.isStream()) return {it, i};
    }
    return {};
}

std::string nameOf(const records::ItemStore& items, const FoundItem& item) {
    return item == nullptr ? std::string() : std::string(items.name(item.index));
}

TEST(WalkMft, OneRowPerNamedRecordNumberedBySlot) {
    SyntheticVolume volume;
    volume.put(2, RecordBuilder(3, 2).fileName("Dir", 1, 5, 1000).build());
    // Slot 3 is left empty; the next record still gets number 4.
    volume.put(4, RecordBuilder(2, 4).fileName("OldDir", 1, 5).build());
    volume.put(6, RecordBuilder(0, 6).fileName("gone.txt", 1, 2).residentData(12).build());
    volume.put(7, RecordBuilder(5, 7).fileName("odd.bin", 1, 2).residentData(3).build());
    volume.put(8, RecordBuilder(1, 8).fileName("posix only", 0, 2).build());
    volume.put(9, RecordBuilder(1, 9).build());  // no name anywhere: no row
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8);
    ASSERT_EQ(runs.runCount(), 1u);

    records::RecordTables tables;
    records::ItemStore items;
    RecordingProgress progress;
    const WalkResult result = walkMft(range, runs, 8, tables, items, progress, {});
    EXPECT_EQ(result.slotCount, 16u);
    EXPECT_EQ(progress.status, "Sectors  32 of 32");
    EXPECT_EQ(progress.counters[kMftFoundLabel], "10");  // record 8 was the last added, plus 2

    const auto& folders = tables.FolderTable;
    ASSERT_EQ(folders.rowCount(), 4);  // synthetic, Dir, OldDir, root
    EXPECT_EQ(folders.cell(0, FolderColumn::kName), "QVX_Miscellaneous");
    EXPECT_EQ(folders.cell(0, FolderColumn::kSelf), "268435455");
    EXPECT_EQ(folders.cell(0, FolderColumn::kAttr), "16");
    const int dir = rowOfSelf(folders, 2);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(folders.cell(dir, FolderColumn::kSector), std::to_string(SyntheticVolume::kMftLba + 4));
    EXPECT_EQ(folders.cell(dir, FolderColumn::kDate), "1000");
    EXPECT_EQ(folders.cell(dir, FolderColumn::kDeleted), "");
    EXPECT_EQ(folders.cell(rowOfSelf(folders, 4), FolderColumn::kDeleted), "1");

    ASSERT_EQ(items.fileCount(), 4u);  // $MFT, gone.txt, odd.bin, posix only
    ASSERT_NE(fileOf(items, 0), nullptr);
    EXPECT_EQ(fileOf(items, 0)->size, 16384u);
    ASSERT_NE(fileOf(items, 6), nullptr);
    EXPECT_TRUE(fileOf(items, 6)->deleted());
    EXPECT_EQ(fileOf(items, 6)->size, 12u);
    ASSERT_NE(fileOf(items, 7), nullptr);
    EXPECT_FALSE(fileOf(items, 7)->deleted());
    ASSERT_NE(fileOf(items, 8), nullptr);
    EXPECT_EQ(nameOf(items, fileOf(items, 8)), "posix only");
    EXPECT_EQ(fileOf(items, 8)->size, 0u);
    EXPECT_EQ(fileOf(items, 6)->sector, SyntheticVolume::kMftLba + 12u);
}

TEST(WalkMft, NamesAndSizesFromExtensionRecords) {
    SyntheticVolume volume;
    volume.put(2, RecordBuilder(3, 2).fileName("Dir", 1, 5).build());
    // The base record keeps only the DOS name; the Win32 name and the data
    // went to extension record 12, as when a record fills up.
    volume.put(10, RecordBuilder(1, 10)
                       .fileName("INEXTE~1.TXT", 2, 2)
                       .attributeList({{0x10, 10}, {0x30, 10}, {0x30, 12}, {0x80, 12}})
                       .build());
    volume.put(12, RecordBuilder(1, 12).base(10).fileName("in extension.txt", 1, 2).residentData(99).build());
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8);
    records::RecordTables tables;
    records::ItemStore items;
    util::NullProgress progress;
    walkMft(range, runs, 8, tables, items, progress, {});
    const FoundItem item = fileOf(items, 10);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(nameOf(items, item), "in extension.txt");
    EXPECT_EQ(item->size, 99u);
    // The extension record is part of file 10, not an item of its own.
    EXPECT_EQ(fileOf(items, 12), nullptr);
}

TEST(WalkMft, AttributeIdsForTimelines) {
    SyntheticVolume volume;
    volume.put(2, RecordBuilder(3, 2).fileName("Dir", 1, 5).withId(3).build());
    // $DATA id 4 and a named stream id 6; the $FILE_NAME of the timeline
    // is the last one that is no DOS alias.
    volume.put(6, RecordBuilder(1, 6)
                      .fileName("long name.txt", 1, 2)
                      .withId(2)
                      .fileName("LONGNA~1.TXT", 2, 2)
                      .withId(5)
                      .residentData(7)
                      .withId(4)
                      .residentData(3, "ads")
                      .withId(6)
                      .build());
    // Attributes held only in an extension record are numbered above every
    // id the list names (here the list's own 4), one per type and name.
    volume.put(10, RecordBuilder(1, 10)
                       .fileName("INEXTE~1.TXT", 2, 2)
                       .withId(1)
                       .attributeList({{0x10, 10}, {0x30, 10}, {0x30, 12}, {0x80, 12}})
                       .withId(4)
                       .build());
    volume.put(12, RecordBuilder(1, 12).base(10).fileName("in extension.txt", 1, 2).withId(0).residentData(99).build());
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8);
    records::RecordTables tables;
    records::ItemStore items;
    util::NullProgress progress;
    walkMft(range, runs, 8, tables, items, progress, {});

    const FoundItem file = fileOf(items, 6);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->attribute, records::ItemAttribute::Data);
    EXPECT_EQ(file->attributeId, 4);
    EXPECT_EQ(file->fileNameId, 2);
    EXPECT_EQ(file->fileNameUnits, 13);
    bool sawStream = false;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].record == 6 && items[i].isStream()) {
            sawStream = true;
            EXPECT_EQ(items[i].attributeId, 6);
            EXPECT_EQ(items[i].size, 3u);
        }
    EXPECT_TRUE(sawStream);
    const std::size_t dir = items.folderOf(2);
    ASSERT_NE(dir, records::ItemStore::kNone);
    EXPECT_EQ(items[dir].attribute, records::ItemAttribute::None);  // no $INDEX_ROOT built here
    EXPECT_EQ(items[dir].fileNameId, 3);
    const FoundItem extended = fileOf(items, 10);
    ASSERT_NE(extended, nullptr);
    EXPECT_EQ(extended->attributeId, 5);
    EXPECT_EQ(extended->fileNameUnits, 16);
}

TEST(RunNtfsStandardSearch, OrphansGoUnderTheSyntheticFolder) {
    SyntheticVolume volume;
    volume.put(8, RecordBuilder(3, 8).fileName("Dir", 1, 5).build());
    volume.put(9, RecordBuilder(2, 9).fileName("Lost", 1, 40).build());       // parent record gone
    volume.put(10, RecordBuilder(0, 10).fileName("in lost.txt", 1, 9).build());
    volume.put(6, RecordBuilder(0, 6).fileName("orphan.txt", 1, 41).build());  // parent gone
    volume.put(7, RecordBuilder(1, 7).fileName("a.txt", 1, 8).build());
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    records::RecordTables tables;
    records::ItemStore items;
    records::FolderNodeList nodes;
    RecordingProgress progress;
    ASSERT_TRUE(runNtfsStandardSearch(range, volume.params(), runs, tables, items, nodes, progress, {}));
    EXPECT_TRUE(progress.messages.empty());
    EXPECT_EQ(tables.FolderTable.rowCount(), 0);  // moved into the tree

    std::map<std::string, std::string> paths;  // path -> parent path
    for (const auto& node : nodes.nodes()) paths[nodes.FolderPath(node.treeItem, "/")] = "";
    EXPECT_TRUE(paths.count("Dir"));
    EXPECT_TRUE(paths.count("QVX_Miscellaneous"));
    EXPECT_TRUE(paths.count("QVX_Miscellaneous/Lost"));
    EXPECT_EQ(nodes.count(), 3);

    EXPECT_EQ(fileOf(items, 6)->parent, 268435455u);
    EXPECT_EQ(fileOf(items, 10)->parent, 9u);
    EXPECT_EQ(fileOf(items, 7)->parent, 8u);
}

TEST(RunNtfsStandardSearch, UnusableMftGivesTheAdvisory) {
    std::vector<std::uint8_t> zeros(1024 * 1024, 0);
    disk::SectorReader reader;
    reader.attachDevice(0, std::make_shared<disk::MemoryDevice>(zeros));
    partition::VolumeRange range;
    range.reader = &reader;
    range.SectorRangeEnd = 2047;
    partition::VolumeParameters params;
    params.sectorsPerCluster = 8;
    params.mftStart = 32;
    MftRunTable runs;
    records::RecordTables tables;
    records::ItemStore items;
    records::FolderNodeList nodes;
    RecordingProgress progress;
    runNtfsStandardSearch(range, params, runs, tables, items, nodes, progress, {});
    EXPECT_EQ(items.fileCount(), 0u);
    ASSERT_EQ(progress.messages.size(), 1u);
    EXPECT_EQ(progress.messages[0], kNoRecoveryMessage);
    EXPECT_EQ(nodes.count(), 1);  // only QVX_Miscellaneous
}

// A walk of well over a batch of records at a time: the items, the runs of
// deleted ones and the problems come in record order across the batches,
// and a stop asked for during the walk ends it with the items found so far.
class LongWalk : public ::testing::Test {
protected:
    static constexpr std::uint32_t kSlots = 1200;
    static std::uint32_t clusterOf(std::uint64_t record) { return 400 + static_cast<std::uint32_t>(record / 2); }
    void SetUp() override {
        for (std::uint32_t n = 16; n < kSlots; ++n) {
            if (n % 97 == 0) {
                std::vector<std::uint8_t> bad(1024, 0);
                std::copy_n("BAAD", 4, bad.begin());
                volume.put(n, bad);
                continue;
            }
            const bool deleted = n % 7 == 0;
            RecordBuilder record(deleted ? 0 : 1, static_cast<std::uint16_t>(n));
            record.fileName("file " + std::to_string(n), 1, 5);
            // Each deleted file's data is one cluster, which tells its record.
            const std::uint32_t cluster = clusterOf(n);
            if (deleted)
                record.nonResident(0x80, 4096,
                                   {0x21, 0x01, static_cast<std::uint8_t>(cluster), static_cast<std::uint8_t>(cluster >> 8)});
            else record.residentData(n % 50);
            volume.put(n, record.build());
        }
        range = volume.attach(reader);
        runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8);
    }
    SyntheticVolume volume{kSlots};
    disk::SectorReader reader;
    partition::VolumeRange range;
    MftRunTable runs;
    records::RecordTables tables;
    records::ItemStore items;
    records::WalkRuns walkRuns;
    util::Diagnostics diagnostics;
};

TEST_F(LongWalk, ItemsRunsAndProblemsComeInRecordOrder) {
    RecordingProgress progress;
    const WalkResult result = walkMft(range, runs, 8, tables, items, progress, {}, &diagnostics, &walkRuns);
    EXPECT_FALSE(result.stopped);
    EXPECT_EQ(result.slotCount, kSlots);
    EXPECT_EQ(progress.counters[kMftFoundLabel], std::to_string(kSlots - 1 + 2));
    std::uint64_t last = 0;
    std::size_t files = 0;
    std::vector<records::ClusterRun> found;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const records::Item it = items[i];
        if (it.record < 16) continue;
        EXPECT_GT(it.record, last);
        last = it.record;
        ++files;
        EXPECT_EQ(items.name(i), "file " + std::to_string(it.record));
        EXPECT_EQ(it.deleted(), it.record % 7 == 0) << it.record;
        if (it.deleted()) {
            ASSERT_TRUE(walkRuns.deleted.runsOf(i, found)) << it.record;
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0].firstCluster, clusterOf(it.record));
        } else {
            EXPECT_EQ(it.size, it.record % 50);
            EXPECT_FALSE(walkRuns.deleted.runsOf(i, found));
        }
    }
    EXPECT_EQ(files, kSlots - 16 - kSlots / 97);  // the BAAD ones are multiples of 97
    EXPECT_EQ(diagnostics.count(util::Problem::CorruptRecord), kSlots / 97);
    const std::vector<util::ProblemSample> samples = diagnostics.samples(util::Problem::CorruptRecord);
    ASSERT_EQ(samples.size(), util::Diagnostics::kSamplesKept);
    for (std::size_t k = 0; k < samples.size(); ++k) EXPECT_EQ(samples[k].record, 97 * (k + 1));
}

TEST_F(LongWalk, AStopDuringTheWalkKeepsWhatWasFound) {
    // The first progress report asks for the stop.
    struct StoppingProgress : RecordingProgress {
        std::stop_source source;
        void setStatusText(const std::string& text) override {
            RecordingProgress::setStatusText(text);
            source.request_stop();
        }
    } progress;
    const WalkResult result = walkMft(range, runs, 8, tables, items, progress, progress.source.get_token());
    EXPECT_TRUE(result.stopped);
    EXPECT_LT(result.slotCount, kSlots);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].record >= 16) {
            EXPECT_LT(items[i].record, result.slotCount);
            EXPECT_EQ(items.name(i), "file " + std::to_string(items[i].record));
        }
}

TEST(WalkMft, AttributeListsOutsideTheirRecordsOverSeveralChunks) {
    // 2,400 records: the MFT is read in three chunks, the last two ahead of
    // the walk. Every third file keeps only a DOS name in its base record
    // and lists its long name and data in the next record, through an
    // attribute list in a cluster of its own; some lists are shared by no
    // other and some run over two clusters, one of them far away. Every
    // file must come out with the name and size its extension holds.
    constexpr std::uint32_t kSlots = 2400;
    constexpr std::uint32_t kFirstListCluster = 700;
    SyntheticVolume volume(kSlots, 16 * 1024 * 1024);
    std::map<std::uint32_t, std::string> expected;
    for (std::uint32_t n = 16; n + 1 < kSlots; ++n) {
        if (n % 3 != 0) {
            if (n % 3 == 2) continue;  // taken below as an extension, or left empty
            volume.put(n, RecordBuilder(1, static_cast<std::uint16_t>(n)).fileName("plain " + std::to_string(n), 1, 5).residentData(n % 40).build());
            expected[n] = "plain " + std::to_string(n) + "/" + std::to_string(n % 40);
            continue;
        }
        const std::uint32_t ext = n + 2;
        // The list: $STANDARD_INFORMATION here, $FILE_NAME twice (the DOS
        // one here, the long one there) and $DATA there.
        const std::vector<std::pair<std::uint32_t, std::uint32_t>> entries = {{0x10, n}, {0x30, n}, {0x30, ext}, {0x80, ext}};
        std::vector<std::uint8_t> list(0x20 * entries.size(), 0);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t e = 0x20 * i;
            for (int b = 0; b < 4; ++b) list[e + b] = static_cast<std::uint8_t>(entries[i].first >> (8 * b));
            list[e + 4] = 0x20;
            list[e + 6] = 0;
            list[e + 7] = 0x1A;
            for (int b = 0; b < 4; ++b) list[e + 0x10 + b] = static_cast<std::uint8_t>(entries[i].second >> (8 * b));
        }
        const std::uint32_t cluster = kFirstListCluster + n;
        std::vector<std::uint8_t> runs = {0x21, 0x01, static_cast<std::uint8_t>(cluster), static_cast<std::uint8_t>(cluster >> 8)};
        std::uint64_t listBytes = list.size();
        if (n % 9 == 0) {
            // Over two runs: the list's first two entries at the start of
            // one cluster, the others in a cluster 300 further on. Read as
            // the runs say, the zeros after the second entry end the list,
            // the long name and the data are not listed: the file keeps its
            // DOS name and no data, however the list was read.
            std::vector<std::uint8_t> head(list.begin(), list.begin() + 64);
            head.resize(4096, 0);
            std::vector<std::uint8_t> tail(list.begin() + 64, list.end());
            volume.putCluster(cluster, head);
            volume.putCluster(cluster + 300, tail);
            listBytes = 4096 + tail.size();
            runs.push_back(0x21);
            runs.push_back(0x01);
            runs.push_back(static_cast<std::uint8_t>(300 & 0xFF));
            runs.push_back(static_cast<std::uint8_t>(300 >> 8));
        } else {
            volume.putCluster(cluster, list);
        }
        volume.put(n, RecordBuilder(1, static_cast<std::uint16_t>(n))
                          .fileName("DOS" + std::to_string(n) + "~1.TXT", 2, 5)
                          .nonResident(0x20, listBytes, runs)
                          .build());
        volume.put(ext, RecordBuilder(1, static_cast<std::uint16_t>(ext)).base(n).fileName("long name " + std::to_string(n), 1, 5).residentData(n % 50).build());
        expected[n] = (n % 9 == 0 ? "DOS" + std::to_string(n) + "~1.TXT" : "long name " + std::to_string(n)) + "/" +
                      std::to_string(n % 9 == 0 ? 0 : n % 50);
    }
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    ASSERT_TRUE(runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8).ok());
    records::RecordTables tables;
    records::ItemStore items;
    util::NullProgress progress;
    walkMft(range, runs, 8, tables, items, progress, {});
    std::map<std::uint32_t, std::string> found;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const records::Item it = items[i];
        if (it.record < 16 || it.isStream()) continue;
        found[static_cast<std::uint32_t>(it.record)] = items.name(i) + "/" + std::to_string(it.size);
    }
    EXPECT_EQ(found, expected);
}

TEST(RunNtfsStandardSearch, StopsWhenAsked) {
    SyntheticVolume volume;
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    records::RecordTables tables;
    records::ItemStore items;
    records::FolderNodeList nodes;
    util::NullProgress progress;
    std::stop_source source;
    source.request_stop();
    EXPECT_FALSE(runNtfsStandardSearch(range, volume.params(), runs, tables, items, nodes, progress, source.get_token()));
}

TEST(WalkMft, KeepsTheRunsOfDeletedItemsAndOwnersComeFromTheirOwnWalk) {
    SyntheticVolume volume;
    // In use: 2 clusters at 32, and a stream of 1 cluster at 50. Deleted: 3 at 40.
    volume.put(7, RecordBuilder(1, 7)
                      .fileName("live.bin", 1, 5)
                      .nonResident(0x80, 8192, {0x11, 0x02, 0x20})
                      .nonResident(0x80, 100, {0x11, 0x01, 0x32}, "ads")
                      .build());
    volume.put(6, RecordBuilder(0, 6).fileName("gone.bin", 1, 5).nonResident(0x80, 12288, {0x11, 0x03, 0x28}).build());
    disk::SectorReader reader;
    const partition::VolumeRange range = volume.attach(reader);
    MftRunTable runs;
    runs.buildMftRunTable(range, 0, SyntheticVolume::kMftLba, 8);
    records::RecordTables tables;
    records::ItemStore items;
    RecordingProgress progress;
    records::WalkRuns walkRuns;
    walkMft(range, runs, 8, tables, items, progress, {}, nullptr, &walkRuns);
    // The walk keeps no live runs (they are asked for rarely and cost more
    // than the items); a walk of their own finds them when needed.
    EXPECT_FALSE(walkRuns.live.built());
    records::ClusterOwnerIndex live;
    ASSERT_TRUE(collectLiveClusters(range, runs, 8, live, {}));
    std::vector<std::uint64_t> owners;
    live.ownersOf(0, 1000, owners, 10);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{0, 7}));  // $MFT at 4-5, live.bin at 32-33 and 50
    EXPECT_TRUE(live.owned(33));
    EXPECT_TRUE(live.owned(50));
    EXPECT_FALSE(live.owned(40));
    EXPECT_FALSE(live.owned(34));

    // The deleted file's runs are kept by its item, the live one's are not.
    std::vector<records::ClusterRun> deletedRuns;
    ASSERT_TRUE(walkRuns.deleted.describes(items.size()));
    std::size_t gone = items.size();
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].record == 6) gone = i;
    ASSERT_LT(gone, items.size());
    ASSERT_TRUE(walkRuns.deleted.runsOf(gone, deletedRuns));
    ASSERT_EQ(deletedRuns.size(), 1u);
    EXPECT_EQ(deletedRuns[0].firstCluster, 40u);
    EXPECT_EQ(deletedRuns[0].clusterCount, 3u);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].record == 7) {
            EXPECT_FALSE(walkRuns.deleted.runsOf(i, deletedRuns));
        }
}

}  // namespace
}  // namespace qvx::ntfs

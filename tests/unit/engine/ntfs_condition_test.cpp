#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/data_condition.h"
#include "engine/file_listing.h"
#include "ntfs/standard_search.h"
#include "unit/ntfs/record_builder.h"
#include "util/progress.h"

namespace qvx::engine {
namespace {

using ntfs::test::RecordBuilder;

// A 4 MiB volume of 4 KiB clusters (1024), MFT at cluster 4 (8 clusters, 32
// slots), $Bitmap at cluster 100. Live: live.bin (32-33), later.bin (41).
// Deleted: kept.bin (60-61, free), half.bin (40-42, 41 reused), over.bin
// (32-33, all reused), tiny.txt (resident), lost.bin (70, allocated to nobody
// the walk saw).
class NtfsCondition : public ::testing::Test {
protected:
    static constexpr std::uint32_t kSpc = 8;
    static constexpr std::uint64_t kMftLba = 32;

    NtfsCondition() : image(4 * 1024 * 1024, 0) {
        put(0, RecordBuilder(1, 0).fileName("$MFT", 3, 5).nonResident(0x80, 32 * 1024, {0x11, 0x08, 0x04})
                   .sizes(32 * 1024, 32 * 1024).build());
        put(5, RecordBuilder(3, 5).fileName(".", 3, 5).build());
        put(6, RecordBuilder(1, 6).fileName("$Bitmap", 3, 5).nonResident(0x80, 128, {0x11, 0x01, 0x64})
                   .sizes(4096, 128).build());
        put(16, file(1, 16, "live.bin", 8192, {0x11, 0x02, 0x20}));
        put(17, file(1, 17, "later.bin", 4096, {0x11, 0x01, 0x29}));
        put(18, file(0, 18, "kept.bin", 8000, {0x11, 0x02, 0x3C}));
        put(19, file(0, 19, "half.bin", 12000, {0x11, 0x03, 0x28}));
        put(20, file(0, 20, "over.bin", 8192, {0x11, 0x02, 0x20}));
        put(21, RecordBuilder(0, 21).fileName("tiny.txt", 1, 5).residentData(40).build());
        put(22, file(0, 22, "lost.bin", 4096, {0x11, 0x01, 0x46}));
        std::uint8_t* bitmap = image.data() + 100 * kSpc * 512;
        for (std::uint64_t c : {4, 5, 6, 7, 8, 9, 10, 11, 100, 32, 33, 41, 70}) bitmap[c / 8] |= 1 << (c % 8);

        state.SelectedDisk = 0;
        state.FileSystemKind = "NTFS";
        state.SectorRangeStart = 0;
        state.SectorRangeEnd = image.size() / 512 - 1;
        state.VolumeParameters.sectorsPerCluster = kSpc;
        state.VolumeParameters.cluster0Start = 0;
        state.VolumeParameters.mftStart = kMftLba;
        state.VolumeParameters.sectorsPerMftRecord = 2;
        state.ActiveVolume.params = state.VolumeParameters;
        state.ActiveVolume.fileSystemName = "NTFS";
    }

    static std::vector<std::uint8_t> file(std::uint8_t flags, std::uint32_t n, const std::string& name,
                                          std::uint64_t size, const std::vector<std::uint8_t>& runs) {
        return RecordBuilder(flags, n).fileName(name, 1, 5).nonResident(0x80, size, runs).sizes(size, size).build();
    }

    void put(std::uint32_t n, const std::vector<std::uint8_t>& record) {
        std::copy(record.begin(), record.end(), image.begin() + static_cast<std::ptrdiff_t>((kMftLba + 2 * n) * 512));
    }

    void search(bool withIndex) {
        // The device holds a copy: attached once the image is complete.
        state.reader->attachDevice(0, std::make_shared<disk::MemoryDevice>(image));
        util::NullProgress quiet;
        ASSERT_TRUE(ntfs::runNtfsStandardSearch(state.volumeRange(), state.VolumeParameters, state.mftRunTable,
                                                state.tables, state.items, state.FolderNodeList, quiet, {}, nullptr,
                                                withIndex ? &state.walkRuns : nullptr));
        rows = PopulateFileList(state, records::kRootItem);
    }

    const records::FileListRow& row(const std::string& name) const {
        for (const records::FileListRow& r : rows)
            if (r.cells[records::kListName] == name) return r;
        ADD_FAILURE() << name << " not listed";
        return rows.front();
    }

    std::vector<std::uint8_t> image;
    RecoveryState state;
    records::FileList rows;
};

TEST_F(NtfsCondition, BitmapDecidesAndLiveRunsNameTheOwners) {
    search(true);
    const records::DataCondition kept = rowCondition(state, row("kept.bin"));
    EXPECT_EQ(kept.kind, records::DataConditionKind::Intact);
    EXPECT_EQ(kept.totalClusters, 2u);

    const records::DataCondition half = rowCondition(state, row("half.bin"));
    EXPECT_EQ(half.kind, records::DataConditionKind::PartlyOverwritten);
    EXPECT_EQ(half.reusedClusters, 1u);
    EXPECT_EQ(half.totalClusters, 3u);
    EXPECT_EQ(half.reusedBy, (std::vector<std::string>{"later.bin"}));

    const records::DataCondition over = rowCondition(state, row("over.bin"));
    EXPECT_EQ(over.kind, records::DataConditionKind::Overwritten);
    EXPECT_EQ(over.reusedBy, (std::vector<std::string>{"live.bin"}));

    const records::DataCondition lost = rowCondition(state, row("lost.bin"));
    EXPECT_EQ(lost.kind, records::DataConditionKind::Overwritten);
    EXPECT_TRUE(lost.reusedBy.empty()) << "allocated, but no live record's runs hold it";

    const records::DataCondition tiny = rowCondition(state, row("tiny.txt"));
    EXPECT_EQ(tiny.kind, records::DataConditionKind::Intact);
    EXPECT_EQ(tiny.totalClusters, 0u);

    EXPECT_FALSE(rowCondition(state, row("live.bin")).known());
    const ConditionCounts counts = countConditions(state, rows);
    EXPECT_EQ(counts.intact, 2u);
    EXPECT_EQ(counts.partlyOverwritten, 1u);
    EXPECT_EQ(counts.overwritten, 2u);
}

TEST_F(NtfsCondition, WithoutTheWalksIndexOwnersComeFromAWalkOfTheirOwn) {
    search(false);
    EXPECT_FALSE(state.walkRuns.live.built());
    const records::DataCondition over = rowCondition(state, row("over.bin"));
    EXPECT_EQ(over.kind, records::DataConditionKind::Overwritten);
    EXPECT_EQ(over.reusedBy, (std::vector<std::string>{"live.bin"}));
    EXPECT_TRUE(state.walkRuns.live.built());
}

TEST_F(NtfsCondition, AnUnreadableBitmapIsUnknown) {
    // $Bitmap's record now names no data.
    put(6, RecordBuilder(1, 6).fileName("$Bitmap", 3, 5).build());
    search(true);
    EXPECT_EQ(rowCondition(state, row("kept.bin")).kind, records::DataConditionKind::Unknown);
    EXPECT_EQ(rowCondition(state, row("over.bin")).kind, records::DataConditionKind::Unknown);
}

TEST_F(NtfsCondition, ProvenanceIsTheRecordAndItsSector) {
    search(true);
    const records::Provenance p = rowProvenance(state, row("kept.bin"));
    EXPECT_EQ(p.foundIn, records::FoundIn::MftRecord);
    EXPECT_EQ(p.record, 18u);
    EXPECT_EQ(p.sector, kMftLba + 36);
    EXPECT_EQ(p.parentBy, records::ParentBy::ParentReference);
}

}  // namespace
}  // namespace qvx::engine

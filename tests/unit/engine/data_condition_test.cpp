#include <gtest/gtest.h>

#include <string>

#include "engine/analysis_job.h"
#include "engine/data_condition.h"
#include "engine/file_listing.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::engine {
namespace {

using fat::test::Fat16Layout;
using fat::test::putEntry;
using fat::test::setFat16;
using fat::test::TestDisk;

// One-sector clusters. Live: LIVE.BIN (20-22), TINY.BIN (40), OTHER.BIN
// (31). Deleted: KEPT.BIN on free 10-11; GONE.BIN from 20 (all taken by
// LIVE.BIN); HALF.BIN from 40 (its first cluster taken by TINY.BIN, the
// next two free); STEP.BIN from 30, whose cluster 31 recovery steps over.
class FatCondition : public ::testing::Test {
protected:
    FatCondition() : d(300) {
        fat::test::writeFat16Boot(d, l);
        setFat16(d, l, 20, 21);
        setFat16(d, l, 21, 22);
        setFat16(d, l, 22, 0xFFFF);
        setFat16(d, l, 31, 0xFFFF);
        setFat16(d, l, 40, 0xFFFF);
        std::uint8_t* root = d.sector(l.root());
        putEntry(root + 0 * 32, "LIVE    BIN", 0x20, 20, 1536);
        putEntry(root + 1 * 32, "TINY    BIN", 0x20, 40, 300);
        putEntry(root + 2 * 32, "OTHER   BIN", 0x20, 31, 512);
        putEntry(root + 3 * 32, "\xE5" "EPT    BIN", 0x20, 10, 1024);
        putEntry(root + 4 * 32, "\xE5" "ONE    BIN", 0x20, 20, 1536);
        putEntry(root + 5 * 32, "\xE5" "ALF    BIN", 0x20, 40, 1536);
        putEntry(root + 6 * 32, "\xE5" "TEP    BIN", 0x20, 30, 1536);

        state.reader->attachDevice(0, d.sharedDevice());
        state.SelectedDisk = 0;
        state.FileSystemKind = "FAT16";
        state.SectorRangeStart = 0;
        state.SectorRangeEnd = d.sectors() - 1;
        util::NullProgress quiet;
        EXPECT_EQ(validateSelectedVolume(state, quiet), 1);
        EXPECT_EQ(runStandardSearch(state, quiet, {}), AnalysisStatus::Done);
        rows = PopulateFileList(state, records::kRootItem);
    }

    const records::FileListRow& row(const std::string& name) const {
        for (const records::FileListRow& r : rows)
            if (r.cells[records::kListName] == name) return r;
        ADD_FAILURE() << name << " not listed";
        return rows.front();
    }

    TestDisk d;
    Fat16Layout l;
    RecoveryState state;
    records::FileList rows;
};

TEST_F(FatCondition, FreeClustersAreIntactAndLiveFilesHaveNone) {
    const records::DataCondition kept = rowCondition(state, row("_EPT.BIN"));
    EXPECT_EQ(kept.kind, records::DataConditionKind::Intact);
    EXPECT_EQ(kept.reusedClusters, 0u);
    EXPECT_EQ(kept.totalClusters, 2u);
    EXPECT_TRUE(kept.reusedBy.empty());
    EXPECT_EQ(rowCondition(state, row("LIVE.BIN")).kind, records::DataConditionKind::None);
    EXPECT_FALSE(hasDataCondition(state, row("LIVE.BIN")));
    EXPECT_TRUE(hasDataCondition(state, row("_EPT.BIN")));
}

TEST_F(FatCondition, ClustersTakenByALiveFileNameIt) {
    const records::DataCondition gone = rowCondition(state, row("_ONE.BIN"));
    EXPECT_EQ(gone.kind, records::DataConditionKind::Overwritten);
    EXPECT_EQ(gone.reusedClusters, 3u);
    EXPECT_EQ(gone.totalClusters, 3u);
    ASSERT_EQ(gone.reusedBy.size(), 1u);
    EXPECT_EQ(gone.reusedBy[0], "LIVE.BIN");

    const records::DataCondition half = rowCondition(state, row("_ALF.BIN"));
    EXPECT_EQ(half.kind, records::DataConditionKind::PartlyOverwritten);
    EXPECT_EQ(half.reusedClusters, 1u);
    EXPECT_EQ(half.totalClusters, 3u);
    ASSERT_EQ(half.reusedBy.size(), 1u);
    EXPECT_EQ(half.reusedBy[0], "TINY.BIN");
}

TEST_F(FatCondition, OnlyTheClustersRecoveryReadsCount) {
    // Recovery steps over cluster 31 and reads 30, 32 and 33, all free.
    const records::DataCondition step = rowCondition(state, row("_TEP.BIN"));
    EXPECT_EQ(step.kind, records::DataConditionKind::Intact);
    EXPECT_EQ(step.totalClusters, 3u);
}

TEST_F(FatCondition, CountsOfASelection) {
    const ConditionCounts counts = countConditions(state, rows);
    EXPECT_EQ(counts.intact, 2u);
    EXPECT_EQ(counts.overwritten, 1u);
    EXPECT_EQ(counts.partlyOverwritten, 1u);
    EXPECT_EQ(counts.unknown, 0u);
}

TEST_F(FatCondition, ProvenanceIsTheEntrysSectorAndOffset) {
    const records::Provenance p = rowProvenance(state, row("_EPT.BIN"));
    EXPECT_EQ(p.foundIn, records::FoundIn::DirectoryEntry);
    EXPECT_EQ(p.sector, l.root());
    EXPECT_EQ(p.offset, 3u * 32);
    EXPECT_EQ(p.parentBy, records::ParentBy::FolderIndex);
}

TEST_F(FatCondition, AnUnreadableFatIsUnknown) {
    // A volume whose FAT lies beyond the disk: nothing to test against.
    state.SectorRangeEnd = l.fat1() - 1;
    state.conditions.reset();
    const records::DataCondition c = rowCondition(state, row("_EPT.BIN"));
    EXPECT_EQ(c.kind, records::DataConditionKind::Unknown);
}

TEST(ConditionText, NamesAndClassification) {
    using records::DataConditionKind;
    EXPECT_STREQ(records::conditionText(DataConditionKind::Intact), "intact");
    EXPECT_STREQ(records::conditionText(DataConditionKind::PartlyOverwritten), "partly overwritten");
    EXPECT_STREQ(records::conditionText(DataConditionKind::Overwritten), "overwritten");
    EXPECT_STREQ(records::conditionText(DataConditionKind::Unknown), "unknown");
    EXPECT_STREQ(records::conditionText(DataConditionKind::None), "");
    EXPECT_EQ(records::conditionOfClusters(0, 0), DataConditionKind::Intact);
    EXPECT_EQ(records::conditionOfClusters(0, 5), DataConditionKind::Intact);
    EXPECT_EQ(records::conditionOfClusters(2, 5), DataConditionKind::PartlyOverwritten);
    EXPECT_EQ(records::conditionOfClusters(5, 5), DataConditionKind::Overwritten);
}

}  // namespace
}  // namespace qvx::engine

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "records/cluster_owners.h"

namespace qvx::records {
namespace {

TEST(ClusterOwnerIndex, FindsOwnersOfRangesInClusterOrder) {
    ClusterOwnerIndex index;
    index.add(100, 10, 7);  // 100-109
    index.add(10, 5, 3);    // 10-14
    index.add(50, 1, 9);
    index.add(60, 0, 11);   // empty: ignored
    index.finish();
    ASSERT_TRUE(index.built());
    EXPECT_EQ(index.size(), 3u);
    EXPECT_TRUE(index.owned(10));
    EXPECT_TRUE(index.owned(14));
    EXPECT_FALSE(index.owned(15));
    EXPECT_FALSE(index.owned(60));
    EXPECT_TRUE(index.owned(109));
    EXPECT_FALSE(index.owned(110));

    std::vector<std::uint64_t> owners;
    index.ownersOf(0, 200, owners, 10);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{3, 9, 7}));
    owners.clear();
    index.ownersOf(15, 35, owners, 10);  // 15-49: nobody
    EXPECT_TRUE(owners.empty());
    index.ownersOf(105, 1, owners, 10);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{7}));
}

TEST(ClusterOwnerIndex, ALongExtentStartingEarlyIsStillFound) {
    // The extent that starts first reaches past later, shorter ones: the
    // search may not stop at the last extent starting before the cluster.
    ClusterOwnerIndex index;
    index.add(0, 1000, 1);
    index.add(10, 2, 2);
    index.add(20, 2, 3);
    index.finish();
    EXPECT_TRUE(index.owned(500));
    std::vector<std::uint64_t> owners;
    index.ownersOf(500, 1, owners, 4);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{1}));
}

TEST(ClusterOwnerIndex, OwnersAreListedOnceAndBounded) {
    ClusterOwnerIndex index;
    for (std::uint64_t i = 0; i < 20; ++i) index.add(i * 2, 1, i % 5);
    index.finish();
    std::vector<std::uint64_t> owners;
    index.ownersOf(0, 100, owners, 3);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{0, 1, 2}));
    owners.clear();
    index.ownersOf(0, 100, owners, 100);
    EXPECT_EQ(owners.size(), 5u);
}

TEST(ClusterOwnerIndex, HugeValuesDoNotWrap) {
    ClusterOwnerIndex index;
    index.add(UINT64_MAX - 5, 100, 4);
    index.finish();
    EXPECT_TRUE(index.owned(UINT64_MAX - 1));
    EXPECT_FALSE(index.owned(0));
    std::vector<std::uint64_t> owners;
    index.ownersOf(UINT64_MAX - 2, UINT64_MAX, owners, 4);
    EXPECT_EQ(owners, (std::vector<std::uint64_t>{4}));
}

TEST(ClusterOwnerIndex, ClearedIndexIsNotBuilt) {
    ClusterOwnerIndex index;
    index.add(1, 1, 1);
    index.finish();
    index.clear();
    EXPECT_FALSE(index.built());
    EXPECT_FALSE(index.owned(1));
}

TEST(DeletedItemRuns, RunsByItemAndForTheStoreTheyDescribe) {
    DeletedItemRuns runs;
    runs.begin(3);
    runs.addRun(10, 2);
    runs.addRun(20, 1);
    runs.begin(7);  // resident: no runs
    runs.begin(9);
    runs.addRun(5, 0);  // empty runs are not kept
    runs.addRun(30, 4);
    runs.finish(12);
    EXPECT_TRUE(runs.describes(12));
    EXPECT_FALSE(runs.describes(13));
    std::vector<ClusterRun> out;
    ASSERT_TRUE(runs.runsOf(3, out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].firstCluster, 20u);
    ASSERT_TRUE(runs.runsOf(7, out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(runs.runsOf(9, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].clusterCount, 4u);
    EXPECT_FALSE(runs.runsOf(4, out));
    EXPECT_FALSE(runs.runsOf(100, out));
}

TEST(DeletedItemRuns, ItemsOutOfOrderEndTheTable) {
    DeletedItemRuns runs;
    runs.begin(5);
    runs.addRun(1, 1);
    runs.begin(2);  // not increasing: nothing more is kept
    runs.addRun(9, 9);
    runs.finish(6);
    std::vector<ClusterRun> out;
    EXPECT_TRUE(runs.runsOf(5, out));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_FALSE(runs.runsOf(2, out));
    runs.clear();
    EXPECT_FALSE(runs.describes(6));
}

}  // namespace
}  // namespace qvx::records

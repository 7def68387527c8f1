#include <gtest/gtest.h>

#include <memory>

#include "fat/cluster_chain.h"
#include "unit/fat/fat_test_image.h"

namespace qvx::fat {
namespace {

using test::Fat16Layout;
using test::setFat16;
using test::TestDisk;

TEST(BuildClusterChain, Fat16EndsAtEndMarksBadClustersAndLinksPastTheVolume) {
    TestDisk d(400);
    Fat16Layout l;
    test::writeFat16Boot(d, l);
    const FatVolume v = test::fat16Volume(d, l);
    setFat16(d, l, 2, 3);
    setFat16(d, l, 3, 4);
    setFat16(d, l, 4, 0xFFF8);  // an end mark, not a cluster to read
    setFat16(d, l, 0xFFF8, 0xFFFF);
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3, 4}));
    for (std::uint16_t end : {0xFFFF, 0xFFF8, 0xFFF7, 0x0000, 0x0001}) {
        setFat16(d, l, 5, end);
        EXPECT_EQ(BuildClusterChain(v, 5), (ClusterChain{5})) << end;
    }
    // A link past the last cluster of the volume ends the chain before it.
    ASSERT_LT(v.maxCluster(), 0x2000u);
    setFat16(d, l, 6, 0x2000);
    EXPECT_EQ(BuildClusterChain(v, 6), (ClusterChain{6}));
    setFat16(d, l, 6, static_cast<std::uint16_t>(v.maxCluster()));
    EXPECT_EQ(BuildClusterChain(v, 6).size(), 2u);
}

TEST(BuildClusterChain, LoopsEndWhereAClusterRepeats) {
    TestDisk d(400);
    Fat16Layout l;
    test::writeFat16Boot(d, l);
    const FatVolume v = test::fat16Volume(d, l);
    setFat16(d, l, 10, 11);
    setFat16(d, l, 11, 12);
    setFat16(d, l, 12, 10);
    EXPECT_EQ(BuildClusterChain(v, 10), (ClusterChain{10, 11, 12}));
    setFat16(d, l, 20, 20);
    EXPECT_EQ(BuildClusterChain(v, 20), (ClusterChain{20}));
}

TEST(BuildClusterChain, Fat32UsesWideEntriesWithoutMasking) {
    TestDisk d(400);
    FatVolume v;
    v.kind = "FAT32";
    v.params.firstFatStart = 10;
    v.params.sectorsPerFat = 4;
    v.params.sectorsPerCluster = 1;
    v.params.cluster0Start = 100;
    v.range = d.range(0, 399);
    v.endSector = 400;
    test::put32(d.sector(10) + 2 * 4, 3);
    test::put32(d.sector(10) + 3 * 4, 130);
    test::put32(d.sector(11) + (130 - 128) * 4, 0x0FFFFFFF);
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3, 130}));
    // The reserved top bits are not masked: 0x1000_0003 ends the chain.
    test::put32(d.sector(10) + 3 * 4, 0x10000003);
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3}));
}

TEST(BuildClusterChain, UnusableGeometryGivesTheFirstClusterOnly) {
    TestDisk d(50);
    FatVolume v;
    v.kind = "FAT16";
    v.range = d.range(0, 49);
    EXPECT_EQ(BuildClusterChain(v, 7), (ClusterChain{7})) << "no FAT start";
    v.params.firstFatStart = 1;
    v.params.sectorsPerFat = 1;
    test::put16(d.sector(1) + 7 * 2, 8);
    test::put16(d.sector(1) + 8 * 2, 9);
    EXPECT_EQ(BuildClusterChain(v, 7), (ClusterChain{7})) << "zero cluster size: no cluster to link to";
    v.kind = "NTFS";
    EXPECT_EQ(BuildClusterChain(v, 7), (ClusterChain{7}));
}

TEST(BuildClusterChain, ChainIsNoLongerThanTheVolumeHasClusters) {
    TestDisk d(400);
    Fat16Layout l;
    test::writeFat16Boot(d, l);
    FatVolume v = test::fat16Volume(d, l);
    v.endSector = l.clusterLba(6);  // clusters 2..5 only
    for (std::uint32_t c = 2; c < 40; ++c) setFat16(d, l, c, static_cast<std::uint16_t>(c + 1));
    EXPECT_LE(BuildClusterChain(v, 2).size(), 6u);
}

TEST(BuildClusterChain, ThroughASectorCacheEachFatSectorIsReadOnceAndAFailedOneIsAskedAgain) {
    TestDisk d(1000);
    Fat16Layout l;
    test::writeFat16Boot(d, l);
    FatVolume v = test::fat16Volume(d, l);
    v.fatSectors = std::make_shared<FatSectorCache>();
    ASSERT_GT(v.maxCluster(), 301u);
    // Four chains in the FAT's first sector (256 entries to a sector).
    setFat16(d, l, 2, 3);
    setFat16(d, l, 3, 0xFFFF);
    setFat16(d, l, 4, 5);
    setFat16(d, l, 5, 0xFFFF);
    const int before = d.device().readCalls.load();
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3}));
    EXPECT_EQ(BuildClusterChain(v, 4), (ClusterChain{4, 5}));
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3}));
    EXPECT_EQ(d.device().readCalls.load(), before + 1);

    // Cluster 300's entry is in the second sector, which cannot be read:
    // the chain ends, and the sector is asked for again next time.
    setFat16(d, l, 300, 301);
    setFat16(d, l, 301, 0xFFFF);
    d.device().badSectors = {l.fat1() + 1};
    EXPECT_EQ(BuildClusterChain(v, 300), (ClusterChain{300}));
    const int failed = d.device().readCalls.load();
    EXPECT_EQ(BuildClusterChain(v, 300), (ClusterChain{300}));
    EXPECT_GT(d.device().readCalls.load(), failed);
    d.device().badSectors.clear();
    EXPECT_EQ(BuildClusterChain(v, 300), (ClusterChain{300, 301}));

    // Without a cache every chain reads the FAT again.
    v.fatSectors.reset();
    const int uncached = d.device().readCalls.load();
    EXPECT_EQ(BuildClusterChain(v, 2), (ClusterChain{2, 3}));
    EXPECT_EQ(d.device().readCalls.load(), uncached + 1);
}

}  // namespace
}  // namespace qvx::fat

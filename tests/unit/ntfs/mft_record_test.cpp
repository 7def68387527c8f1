#include "ntfs/mft_record.h"

#include <gtest/gtest.h>

#include "record_builder.h"

namespace qvx::ntfs {
namespace {

using test::RecordBuilder;

TEST(ApplyFixup, RestoresEverySectorEndTheArrayCovers) {
    RecordBuilder builder;
    builder.raw()[510] = 0x11;
    builder.raw()[511] = 0x22;
    builder.raw()[1022] = 0x33;
    builder.raw()[1023] = 0x44;
    std::vector<std::uint8_t> record = builder.build();
    EXPECT_EQ(record[1022], 0xBC);
    applyFixup(record, record.size());
    EXPECT_EQ(record[510], 0x11);
    EXPECT_EQ(record[511], 0x22);
    EXPECT_EQ(record[1022], 0x33);
    EXPECT_EQ(record[1023], 0x44);
}

TEST(ApplyFixup, StopsAtTheValidLengthAndIgnoresHostileCounts) {
    std::vector<std::uint8_t> record = RecordBuilder().build();
    std::vector<std::uint8_t> copy = record;
    applyFixup(record, 600);  // only the first stride lies inside
    EXPECT_EQ(record[1022], copy[1022]);
    EXPECT_EQ(record[1023], copy[1023]);

    test::put16(record, 0x06, 0xFFFF);
    test::put16(record, 0x04, 0xFFF0);
    copy = record;
    applyFixup(record, record.size());
    EXPECT_EQ(record, copy);
}

TEST(FindFileName, PrefersWin32ThenWin32AndDosThenDosThenPosix) {
    auto name = [](std::vector<std::uint8_t> r) {
        applyFixup(r, r.size());
        return findFileNamePreferred(r).name;
    };
    EXPECT_EQ(name(RecordBuilder().fileName("LONGNA~1.TXT", 2, 5).fileName("Long name.txt", 1, 5).build()),
              "Long name.txt");
    EXPECT_EQ(name(RecordBuilder().fileName("posix", 0, 5).fileName("DOS.TXT", 2, 5).build()), "DOS.TXT");
    EXPECT_EQ(name(RecordBuilder().fileName("both.txt", 3, 5).fileName("posix", 0, 5).build()), "both.txt");
    // ntfs-3g writes POSIX names only; they must not be lost.
    EXPECT_EQ(name(RecordBuilder().fileName("linux name", 0, 5).build()), "linux name");
}

TEST(FindFileName, ReturnsParentTimeAndTheNameAsUtf8) {
    std::vector<std::uint8_t> r = RecordBuilder().fileName("Caf\xE9.txt", 1, 1234, 128166372000000000).build();
    applyFixup(r, r.size());
    const FileNameInfo info = findFileName(r, NameSpace::Win32);
    ASSERT_TRUE(info.found);
    EXPECT_EQ(info.name, "Caf\xC3\xA9.txt");  // U+00E9 in UTF-8
    EXPECT_EQ(info.parent, 1234u);
    EXPECT_EQ(info.creationTime, 128166372000000000);
    EXPECT_FALSE(findFileName(r, NameSpace::Dos).found);
}

TEST(FindDataSize, KeepsSixtyFourBitSizesAndSkipsNamedStreams) {
    std::vector<std::uint8_t> r = RecordBuilder()
                                      .residentData(10, "Zone")
                                      .nonResident(0x80, 5ull * 1024 * 1024 * 1024, {0x11, 0x10, 0x20, 0x00})
                                      .build();
    applyFixup(r, r.size());
    const DataSize size = findDataSize(r);
    ASSERT_TRUE(size.found);
    EXPECT_EQ(size.size, 5ull * 1024 * 1024 * 1024);

    std::vector<std::uint8_t> resident = RecordBuilder().residentData(77).build();
    applyFixup(resident, resident.size());
    EXPECT_EQ(findDataSize(resident).size, 77u);
    EXPECT_FALSE(findDataSize(RecordBuilder().fileName("x", 1, 5).build()).found);
}

TEST(CollectListedRecords, OwnNumberFirstThenEveryEntryUpToSixtyEight) {
    std::vector<std::uint8_t> r = RecordBuilder().attributeList({{0x10, 7}, {0x30, 9}, {0x80, 9}}).build();
    applyFixup(r, r.size());
    EXPECT_EQ(collectListedRecords(r, 7), (std::vector<std::uint32_t>{7, 7, 9, 9}));

    std::vector<std::pair<std::uint32_t, std::uint32_t>> many;
    for (std::uint32_t i = 0; i < 29; ++i) many.push_back({0x80, 100 + i});
    std::vector<std::uint8_t> big = RecordBuilder().attributeList(many).build();
    applyFixup(big, big.size());
    EXPECT_LE(collectListedRecords(big, 1).size(), kMaxListedRecords);
    EXPECT_EQ(collectListedRecords(big, 1).size(), 30u);

    std::vector<std::uint8_t> nonResidentList = RecordBuilder().nonResident(0x20, 4096, {0x11, 0x01, 0x05}).build();
    applyFixup(nonResidentList, nonResidentList.size());
    EXPECT_EQ(collectListedRecords(nonResidentList, 3), (std::vector<std::uint32_t>{3}));
}

TEST(AttributeWalk, EndsOnZeroLengthsAndOffsetsBeyondTheRecord) {
    RecordBuilder builder;
    builder.residentData(8).fileName("after", 1, 5);
    std::vector<std::uint8_t> r = builder.build();
    applyFixup(r, r.size());
    ASSERT_TRUE(findFileNamePreferred(r).found);
    test::put32(r, 0x3C, 0);  // zero length ahead of the name: the walk ends there
    EXPECT_FALSE(findFileNamePreferred(r).found);
    test::put16(r, 0x14, 1023);
    EXPECT_FALSE(findFileNamePreferred(r).found);
    EXPECT_FALSE(findDataSize(std::vector<std::uint8_t>(100, 0xFF)).found);
    EXPECT_FALSE(findFileNamePreferred(util::Bytes()).found);
}

TEST(IndexAllocation, FirstClusterOfI30OrZero) {
    std::vector<std::uint8_t> r =
        RecordBuilder(3).nonResident(0xA0, 4096, {0x11, 0x01, 0x2A}, "$I30").build();
    applyFixup(r, r.size());
    EXPECT_EQ(findIndexAllocationFirstCluster(r), 0x2Au);
    std::vector<std::uint8_t> other = RecordBuilder(3).nonResident(0xA0, 4096, {0x11, 0x01, 0x2A}, "$SDH").build();
    applyFixup(other, other.size());
    EXPECT_EQ(findIndexAllocationFirstCluster(other), 0u);
    EXPECT_EQ(recordNumberFromHeader(RecordBuilder(1, 4242).build()), 4242u);
}

}  // namespace
}  // namespace qvx::ntfs

#include "util/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qvx::util {
namespace {

TEST(HugePages, BlocksAreAlignedZeroedAndAdviceOnAnyRangeIsHarmless) {
    HugeBlock block = makeHugeBlock(2 * kHugePageBytes);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % kHugePageBytes, 0u);
    for (std::size_t i = 0; i < 2 * kHugePageBytes; i += 4093) ASSERT_EQ(block[i], 0) << i;
    block[2 * kHugePageBytes - 1] = 7;
    EXPECT_EQ(block[2 * kHugePageBytes - 1], 7);
    // Ranges holding no whole huge page, empty ones and ones that would wrap
    // past the end of the address space are left alone.
    std::vector<std::uint8_t> small(100000, 1);
    adviseHugePages(small.data(), small.size());
    adviseHugePages(small.data(), 0);
    adviseHugePages(reinterpret_cast<const void*>(UINTPTR_MAX - 10), 100);
    adviseHugePages(block.get() + 1, 2 * kHugePageBytes - 1);
    EXPECT_EQ(small[99999], 1);
    EXPECT_EQ(block[2 * kHugePageBytes - 1], 7);
}

TEST(HugePages, ReleasedPagesReadAsZerosAndTheRestIsKept) {
    HugeBlock block = makeHugeBlock(kHugePageBytes);
    for (std::size_t i = 0; i < kHugePageBytes; i += 511) block[i] = 9;
    // From an offset inside a page: only the whole pages after it go; the
    // bytes before the first whole page are kept.
    const std::size_t from = 100000;
    releaseUnusedPages(block.get() + from, kHugePageBytes - from);
    for (std::size_t i = 0; i < from; i += 511) ASSERT_EQ(block[i], 9) << i;
    for (std::size_t i = (from + 4095) / 4096 * 4096; i < kHugePageBytes; ++i) ASSERT_EQ(block[i], 0) << i;
    // Written again, the pages hold what is written.
    block[kHugePageBytes - 1] = 5;
    EXPECT_EQ(block[kHugePageBytes - 1], 5);
    // Nothing whole to give back, or nothing at all: nothing changes.
    releaseUnusedPages(block.get() + 10, 100);
    releaseUnusedPages(block.get(), 0);
    EXPECT_EQ(block[0], 9);
}

}  // namespace
}  // namespace qvx::util

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

}  // namespace
}  // namespace qvx::util

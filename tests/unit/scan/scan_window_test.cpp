#include "scan/scan_window.h"

#include <gtest/gtest.h>

#include <vector>

#include "unit/scan/ntfs_image_builder.h"

namespace qvx::scan {
namespace {

// Picks sectors whose first byte is 'P', spanning as many sectors as the
// second byte says.
std::uint32_t pickMarked(const std::uint8_t* sector) { return sector[0] == 'P' ? std::max<std::uint32_t>(1, sector[1]) : 0; }

/// The picked sectors of a window as absolute LBAs, each with its third byte.
std::vector<std::pair<std::uint64_t, int>> picksOf(const ScanWindow& w, std::uint64_t lba, std::uint32_t count) {
    std::vector<std::pair<std::uint64_t, int>> out;
    for (const std::uint32_t k : w.pickedIn(lba, count)) out.emplace_back(w.first() + k, w.at(w.first() + k)[2]);
    return out;
}

TEST(ScanWindow, WindowsReadAheadAreTheWindowsAskedForOrAreLetGo) {
    // A disk that cannot be mapped is read; once it is, the window the scan
    // names as its next is read on a second thread. Whether the next load is
    // that window, another one, or one past the disk's end, it holds the
    // disk's bytes and picks, and an unreadable sector reads as zeros.
    constexpr std::uint32_t kWindow = 64;
    test::Image image(10 * kWindow + 5);
    std::vector<std::pair<std::uint64_t, int>> marked;
    for (std::uint64_t s = 3; s < image.sectors(); s += 7) {
        std::vector<std::uint8_t> sector(512, 0);
        sector[0] = 'P';
        sector[1] = 1;
        sector[2] = static_cast<std::uint8_t>(s % 251);
        image.place(s, sector);
        if (s != 2 * kWindow + 8) marked.emplace_back(s, static_cast<int>(s % 251));
    }
    auto reader = image.reader(false, {2 * kWindow + 8});
    partition::VolumeRange disk;
    disk.reader = reader.get();
    auto expected = [&](std::uint64_t lba, std::uint32_t count) {
        std::vector<std::pair<std::uint64_t, int>> out;
        for (const auto& m : marked)
            if (m.first >= lba && m.first < lba + count) out.push_back(m);
        return out;
    };
    ScanWindow w(disk, image.sectors(), kWindow, 16, pickMarked);
    // In order, each next one named before: read ahead.
    for (std::uint64_t lba = 0; lba < 4 * kWindow; lba += kWindow) {
        w.load(lba, kWindow);
        w.prefetch(lba + kWindow, kWindow);
        EXPECT_EQ(picksOf(w, lba, kWindow), expected(lba, kWindow)) << lba;
        EXPECT_FALSE(w.mapped());
    }
    // Another window than the one named (which is let go), then a shorter
    // one than named, then the last, partly past the disk's end.
    w.load(7 * kWindow, kWindow);
    EXPECT_EQ(picksOf(w, 7 * kWindow, kWindow), expected(7 * kWindow, kWindow));
    w.prefetch(8 * kWindow, kWindow);
    w.load(8 * kWindow, kWindow / 2);
    EXPECT_EQ(picksOf(w, 8 * kWindow, kWindow / 2), expected(8 * kWindow, kWindow / 2));
    w.prefetch(10 * kWindow, kWindow);
    w.load(10 * kWindow, kWindow);
    EXPECT_EQ(w.readable(), 5u);
    EXPECT_EQ(picksOf(w, 10 * kWindow, kWindow), expected(10 * kWindow, 5));
    for (std::uint32_t k = 5; k < kWindow; ++k) EXPECT_EQ(w.at(10 * kWindow + k)[0], 0) << k;
    // A read ahead still going when the window goes is waited for.
    w.prefetch(0, kWindow);
}

}  // namespace
}  // namespace qvx::scan

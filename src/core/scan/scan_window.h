#pragma once
// The sectors a raw scan looks at, several chunks at a time. Nearly every
// sector of a disk is nothing a scan wants, so each window is first looked
// over by a cheap test of a few bytes per sector (the scan's `Pick`), and only
// the sectors it picks are examined further.
//
// From an image file the window is mapped instead of read: the test runs on
// the file's pages in place and only the picked sectors (with the sectors
// their structure spans) are copied, which is a fraction of the disk. Where
// the mapping cannot be had or faults, the window is read as a disk gives it.
// Either way the picked sectors and their bytes are the same.
//
// Which way is faster depends on the machine: a mapping spares the copy but
// costs page-table work, which a virtual machine with shadow page tables, or
// a page cache of small folios, makes dearer than copying. The first full
// windows are therefore loaded both ways in turn and timed, and the rest go
// the faster way.

#include <chrono>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "partition/validate_volume.h"
#include "util/background_task.h"
#include "util/page_aligned.h"

namespace qvx::scan {

class ScanWindow {
public:
    /// 0 when the sector at hand can hold nothing of interest; else the
    /// sectors, from this one, that what it may begin spans (at least 1).
    /// Reads at most the 512 bytes given.
    using Pick = std::uint32_t (*)(const std::uint8_t* sector);

    /// Windows of up to capacitySectors; when a whole read fails, the window
    /// is read again chunkSectors at a time.
    ScanWindow(const partition::VolumeRange& disk, std::uint64_t diskSectors, std::uint32_t capacitySectors,
               std::uint32_t chunkSectors, Pick pick);
    ScanWindow(const ScanWindow&) = delete;
    ScanWindow& operator=(const ScanWindow&) = delete;

    /// Makes the window the sectors [lba, lba + sectors) (at most the
    /// capacity) and picks its sectors. Sectors past the disk's end stay zero;
    /// sectors that cannot be read are left zero.
    void load(std::uint64_t lba, std::uint32_t sectors);
    /// The window the scan will load next. Once windows are read rather
    /// than mapped, it is read (and picked) on a second thread while the
    /// scan examines this one, so that the copying and the examining
    /// overlap; a load of anything else waits for it and reads anew.
    void prefetch(std::uint64_t lba, std::uint32_t sectors);

    const partition::VolumeRange& disk() const { return m_disk; }
    std::uint64_t first() const { return m_lba; }
    bool holds(std::uint64_t lba) const { return m_sectors != 0 && lba >= m_lba && lba - m_lba < m_sectors; }
    /// The picked sectors among count sectors at lba, as offsets from
    /// first(), in order.
    std::span<const std::uint32_t> pickedIn(std::uint64_t lba, std::uint32_t count) const;
    /// A sector of the window. Its bytes are the disk's when it is picked or
    /// lies within what a picked sector spans; other sectors may hold
    /// anything.
    const std::uint8_t* at(std::uint64_t lba) const { return m_buffer.data() + (lba - m_lba) * 512; }
    /// Sectors from first() that could be read (the rest lie past the disk's
    /// end and are zero).
    std::uint32_t readable() const { return m_readable; }
    /// True when the window came from a mapping, false when it was read.
    bool mapped() const { return m_mapped; }

    /// How windows are loaded where a mapping can be had: timed both ways
    /// first (the default), or always mapped (for tests that compare the
    /// two ways). For the windows made after the call.
    enum class Loading { Timed, Mapped };
    static void setLoading(Loading loading);
    /// In a mapped window: true when count sectors at lba all lie in what
    /// the picked sectors span, the only sectors copied.
    bool copied(std::uint64_t lba, std::uint32_t count) const;

private:
    bool loadMapped(std::uint64_t lba, std::uint32_t sectors);
    bool tryMapping() const;
    void timed(bool mapped, std::chrono::steady_clock::duration took);
    void read(std::uint64_t lba, std::uint32_t sectors, std::uint32_t readable);
    /// Reads and picks [lba, lba + sectors) into buffer and picked; the
    /// sectors from readable on stay zero.
    void readInto(std::uint64_t lba, std::uint32_t sectors, std::uint32_t readable, std::uint8_t* buffer,
                  std::vector<std::uint32_t>& picked) const;
    std::uint32_t readableFrom(std::uint64_t lba, std::uint32_t sectors) const;

    const partition::VolumeRange& m_disk;
    const std::uint64_t m_diskSectors;
    const std::uint32_t m_capacity;
    const std::uint32_t m_chunkSectors;
    const Pick m_pick;
    /// Written before it is read: a mapped window copies only what its
    /// picks span, and the rest is never looked at.
    util::PageAlignedScratch m_buffer;
    std::vector<std::uint32_t> m_picked;
    /// Mapped: the sectors copied, as [begin, end) offsets, in order and
    /// apart from one another.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_copied;
    std::uint64_t m_lba = 0;
    std::uint32_t m_sectors = 0;
    std::uint32_t m_readable = 0;
    bool m_mapped = false;
    // Windows of full size loaded each way while the two are compared, and
    // the time they took; then whether mapping won.
    static constexpr int kTrials = 4;
    const bool m_timed;
    int m_mappedTrials = 0;
    int m_readTrials = 0;
    std::chrono::steady_clock::duration m_mappedTime{};
    std::chrono::steady_clock::duration m_readTime{};
    bool m_decided = false;
    bool m_mapWins = true;
    bool m_mapUnavailable = false;  // the disk gives no mapping (a device, a container)

    // The window read ahead, and the thread reading it, kept for the scan
    // (declared last: it is waited for before the buffers go).
    util::PageAlignedScratch m_ahead;
    std::vector<std::uint32_t> m_aheadPicked;
    std::uint64_t m_aheadLba = 0;
    std::uint32_t m_aheadSectors = 0;
    util::BackgroundTask m_aheadTask;
};

}  // namespace qvx::scan

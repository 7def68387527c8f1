#include "scan/scan_window.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace qvx::scan {

namespace {

constexpr std::size_t kSectorBytes = 512;

std::atomic<bool> g_alwaysMapped{false};

/// One pass over mapped bytes: picks sectors and copies what they span. Runs
/// guarded, so it owns nothing: every array is the caller's, sized before.
struct MappedPass {
    const std::uint8_t* from = nullptr;
    std::uint8_t* to = nullptr;
    std::uint32_t sectors = 0;
    ScanWindow::Pick pick = nullptr;
    std::uint32_t* picked = nullptr;
    std::uint32_t pickedCount = 0;
    std::pair<std::uint32_t, std::uint32_t>* copied = nullptr;
    std::uint32_t copiedCount = 0;
};

void runMappedPass(void* context) {
    MappedPass& pass = *static_cast<MappedPass*>(context);
    std::uint32_t copiedTo = 0;
    // The pick reads a sector's first cache line, and its last only when the
    // first allows a match: one line in eight, a stride the hardware does
    // not foresee across pages.
    constexpr std::uint32_t kAhead = 16;
    for (std::uint32_t i = 0; i < pass.sectors; ++i) {
        if (i + kAhead < pass.sectors) __builtin_prefetch(pass.from + std::size_t{i + kAhead} * kSectorBytes);
        const std::uint32_t span = pass.pick(pass.from + std::size_t{i} * kSectorBytes);
        if (span == 0) continue;
        pass.picked[pass.pickedCount++] = i;
        const std::uint32_t end = span >= pass.sectors - i ? pass.sectors : i + span;
        if (end <= copiedTo) continue;
        const std::uint32_t begin = std::max(i, copiedTo);
        std::memcpy(pass.to + std::size_t{begin} * kSectorBytes, pass.from + std::size_t{begin} * kSectorBytes,
                    std::size_t{end - begin} * kSectorBytes);
        if (pass.copiedCount != 0 && pass.copied[pass.copiedCount - 1].second == begin)
            pass.copied[pass.copiedCount - 1].second = end;
        else
            pass.copied[pass.copiedCount++] = {begin, end};
        copiedTo = end;
    }
}

}  // namespace

ScanWindow::ScanWindow(const partition::VolumeRange& disk, std::uint64_t diskSectors, std::uint32_t capacitySectors,
                       std::uint32_t chunkSectors, Pick pick)
    : m_disk(disk),
      m_diskSectors(diskSectors),
      m_capacity(std::max<std::uint32_t>(1, capacitySectors)),
      m_chunkSectors(std::max<std::uint32_t>(1, chunkSectors)),
      m_pick(pick),
      m_buffer(std::size_t{m_capacity} * kSectorBytes),
      m_timed(!g_alwaysMapped.load()) {
    m_picked.reserve(m_capacity);
    m_copied.reserve(m_capacity);
}

std::uint32_t ScanWindow::readableFrom(std::uint64_t lba, std::uint32_t sectors) const {
    // Sectors past the disk's end cannot be read; they stay zero.
    if (m_diskSectors == 0) return sectors;
    return lba >= m_diskSectors ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, m_diskSectors - lba));
}

void ScanWindow::prefetch(std::uint64_t lba, std::uint32_t sectors) {
    // Only once reading has been chosen for good: while the two ways are
    // timed, each window must be loaded alone.
    const bool reading = m_timed && (m_mapUnavailable || (m_decided && !m_mapWins));
    if (!reading || m_aheadTask.going() || sectors == 0) return;
    sectors = std::min(sectors, m_capacity);
    const std::uint32_t readable = readableFrom(lba, sectors);
    if (readable == 0) return;
    m_ahead.resize(m_buffer.size());
    m_aheadLba = lba;
    m_aheadSectors = sectors;
    m_aheadTask.start([this, lba, sectors, readable] { readInto(lba, sectors, readable, m_ahead.data(), m_aheadPicked); });
}

void ScanWindow::load(std::uint64_t lba, std::uint32_t sectors) {
    sectors = std::clamp<std::uint32_t>(sectors, 1, m_capacity);
    const std::uint32_t readable = readableFrom(lba, sectors);
    if (m_aheadTask.going()) {
        const bool wanted = m_aheadLba == lba && m_aheadSectors == sectors;
        m_aheadTask.wait();
        if (wanted) {
            m_buffer.swap(m_ahead);
            m_picked.swap(m_aheadPicked);
            m_copied.clear();
            m_mapped = false;
            m_lba = lba;
            m_sectors = sectors;
            m_readable = readable;
            return;
        }
    }
    m_lba = lba;
    m_sectors = sectors;
    m_readable = readable;
    // Only full windows are timed, so the two ways are compared on equal work.
    const bool full = sectors == m_capacity && m_timed && !m_decided;
    const auto start = std::chrono::steady_clock::now();
    if (readable == sectors && tryMapping() && loadMapped(lba, sectors)) {
        if (full) timed(true, std::chrono::steady_clock::now() - start);
        return;
    }
    // Reads are timed once a mapping was had: without one there is nothing
    // to compare.
    const bool comparing = m_mappedTrials + m_readTrials > 0;
    read(lba, sectors, readable);
    if (full && comparing) timed(false, std::chrono::steady_clock::now() - start);
}

void ScanWindow::setLoading(Loading loading) { g_alwaysMapped = loading == Loading::Mapped; }

bool ScanWindow::tryMapping() const {
    if (!m_timed) return true;
    if (m_mapUnavailable) return false;
    if (m_decided) return m_mapWins;
    // In turn while comparing, mapped first.
    return m_mappedTrials <= m_readTrials;
}

void ScanWindow::timed(bool mapped, std::chrono::steady_clock::duration took) {
    if (mapped) {
        ++m_mappedTrials;
        m_mappedTime += took;
    } else {
        ++m_readTrials;
        m_readTime += took;
    }
    if (m_mappedTrials >= kTrials && m_readTrials >= kTrials) {
        m_decided = true;
        m_mapWins = m_mappedTime <= m_readTime;
    }
}

bool ScanWindow::loadMapped(std::uint64_t lba, std::uint32_t sectors) {
    m_mapped = false;
    if (m_disk.reader == nullptr) return false;
    const disk::MappedBytes mapping = m_disk.reader->mapSectors(m_disk.diskIndex, lba, sectors);
    if (!mapping) {
        m_mapUnavailable = true;
        return false;
    }
    m_picked.resize(sectors);
    m_copied.resize(sectors);
    MappedPass pass;
    pass.from = mapping.data();
    pass.to = m_buffer.data();
    pass.sectors = sectors;
    pass.pick = m_pick;
    pass.picked = m_picked.data();
    pass.copied = m_copied.data();
    if (!disk::runGuarded(runMappedPass, &pass)) {
        // The file's pages could not all be had after all (it shrank, or its
        // storage failed): read the window as a disk gives it.
        m_picked.clear();
        m_copied.clear();
        return false;
    }
    m_picked.resize(pass.pickedCount);
    m_copied.resize(pass.copiedCount);
    m_mapped = true;
    return true;
}

void ScanWindow::read(std::uint64_t lba, std::uint32_t sectors, std::uint32_t readable) {
    m_mapped = false;
    m_copied.clear();
    readInto(lba, sectors, readable, m_buffer.data(), m_picked);
}

void ScanWindow::readInto(std::uint64_t lba, std::uint32_t sectors, std::uint32_t readable, std::uint8_t* data,
                          std::vector<std::uint32_t>& picked) const {
    std::memset(data + std::size_t{readable} * kSectorBytes, 0, std::size_t{sectors - readable} * kSectorBytes);
    if (readable != 0) {
        // One request for the whole window; when it fails, chunk by chunk,
        // each cleared and its unreadable sectors left zero.
        if (m_disk.reader == nullptr || m_disk.reader->ReadSectors(m_disk.diskIndex, lba, readable, data) != 1) {
            for (std::uint32_t done = 0; done < readable; done += m_chunkSectors)
                m_disk.read(lba + done, std::min(m_chunkSectors, readable - done), data + std::size_t{done} * kSectorBytes);
        }
    }
    picked.clear();
    for (std::uint32_t i = 0; i < sectors; ++i)
        if (m_pick(data + std::size_t{i} * kSectorBytes) != 0) picked.push_back(i);
}

std::span<const std::uint32_t> ScanWindow::pickedIn(std::uint64_t lba, std::uint32_t count) const {
    if (!holds(lba)) return {};
    const auto begin = static_cast<std::uint32_t>(lba - m_lba);
    const std::uint32_t end = count >= m_sectors - begin ? m_sectors : begin + count;
    const auto from = std::lower_bound(m_picked.begin(), m_picked.end(), begin);
    const auto to = std::lower_bound(from, m_picked.end(), end);
    return {m_picked.data() + (from - m_picked.begin()), static_cast<std::size_t>(to - from)};
}

bool ScanWindow::copied(std::uint64_t lba, std::uint32_t count) const {
    if (!m_mapped || lba < m_lba || lba - m_lba >= m_sectors || count > m_sectors - (lba - m_lba)) return false;
    const auto begin = static_cast<std::uint32_t>(lba - m_lba);
    // The last run of copied sectors that starts at or before begin.
    const auto after = std::upper_bound(m_copied.begin(), m_copied.end(), begin,
                                        [](std::uint32_t at, const auto& run) { return at < run.first; });
    if (after == m_copied.begin()) return false;
    const auto& run = *(after - 1);
    return begin < run.second && count <= run.second - begin;
}

}  // namespace qvx::scan

#pragma once
// Where the MFT's own data lies on the disk: the extents of $MFT's unnamed
// $DATA in file order, as absolute sectors. Record n starts at byte
// n * recordBytes of that data; a record is located by byte offset through
// the extents and put together from two extents when it straddles them
// (small clusters and odd run lengths make that common). Rebuilt by every
// Standard Search of an NTFS volume.

#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <vector>

#include "partition/validate_volume.h"
#include "util/decode_status.h"
#include "util/diagnostics.h"
#include "util/le.h"

namespace qvx::ntfs {

inline constexpr std::uint32_t kDefaultRecordBytes = 1024;

class MftRunTable {
public:
    /// Upper bound on the extents kept, so that a hostile run list cannot
    /// exhaust memory.
    static constexpr std::size_t kMaxRuns = 1u << 20;

    struct Extent {
        std::uint64_t lba = 0;      // absolute first sector; 0 for a sparse run
        std::uint64_t sectors = 0;
        bool usable = true;         // false: sparse, or overlapping an earlier extent
    };

    void clear() {
        m_extents.clear();
        m_totalSectors = 0;
        m_buildTried = false;
    }
    std::size_t runCount() const { return m_extents.size(); }
    /// Whether buildMftRunTable ran since the last clear, whatever it found:
    /// a volume whose record 0 cannot be decoded is not read again for it.
    bool buildTried() const { return m_buildTried; }
    std::uint64_t start(std::size_t run) const { return m_extents[run].lba; }
    std::uint64_t length(std::size_t run) const { return m_extents[run].sectors; }
    const std::vector<Extent>& extents() const { return m_extents; }
    /// Sum of the extent lengths, in sectors.
    std::uint64_t totalSectors() const { return m_totalSectors; }

    std::uint32_t recordBytes() const { return m_recordBytes; }
    void setRecordBytes(std::uint32_t bytes);
    /// Record slots the extents hold.
    std::uint64_t recordCount() const { return m_totalSectors * 512 / m_recordBytes; }

    /// Appends an extent of the MFT's data; overlap with an earlier extent
    /// makes it unusable (records read from the same sectors are one record).
    /// Returns false when it overlapped.
    bool appendExtent(std::uint64_t lba, std::uint64_t sectors, bool sparse = false);

    /// Decodes one attribute instance's run list at offset of buffer and
    /// appends its extents; clusters become sectors with sectorsPerCluster
    /// from volumeStart (cluster 0).
    util::DecodeResult appendRunList(util::Bytes buffer, std::size_t offset, std::uint64_t volumeStart,
                                     std::uint32_t sectorsPerCluster, std::uint64_t volumeClusters = 0);

    /// Absolute sector of the first sector of record n, or 0 when the record
    /// lies beyond the table or in an unusable extent.
    std::uint64_t recordSector(std::uint64_t recordNumber) const;

    /// Reads record n (recordBytes bytes, as on the disk, no fixup) into
    /// out, from every extent it spans. Returns the sectors that could not
    /// be read; all of them when the record lies outside the table.
    std::uint32_t readRecord(const partition::VolumeRange& volume, std::uint64_t recordNumber,
                             std::span<std::uint8_t> out) const;
    /// The same for count consecutive records into out (count * recordBytes
    /// bytes), in as few requests as the extents allow.
    std::uint32_t readRecords(const partition::VolumeRange& volume, std::uint64_t firstRecord, std::uint32_t count,
                              std::span<std::uint8_t> out) const;

    /// Visits every record slot in order, reading the extents in large
    /// requests: visit(n, record bytes (mutable, no fixup), lba of its first
    /// sector, unreadable sectors in it). A slot in an unusable extent is
    /// visited with lba 0 and all its sectors unreadable. Returns false when
    /// stopped.
    /// With skipped given, whole records of unusable extents and of extents
    /// past the volume's end are told at once instead: skipped(first record,
    /// count, lba of the first or 0), so a damaged table cannot make the
    /// walk visit billions of slots.
    using RecordVisitor = std::function<void(std::uint64_t, std::span<std::uint8_t>, std::uint64_t, std::uint32_t)>;
    using SkipVisitor = std::function<void(std::uint64_t, std::uint64_t, std::uint64_t)>;
    /// With following given, it holds during each visit the bytes of the
    /// records after the visited one that were read with it and not yet
    /// visited (untouched, every sector read), else nothing: a file's
    /// extension records mostly follow its base record closely.
    /// With readAhead given, it is called on the read-ahead thread with each
    /// chunk of records read ahead whole (every sector read), before any of
    /// them is visited; it may only read the chunk.
    using ChunkVisitor = std::function<void(std::span<const std::uint8_t>)>;
    bool forEachRecord(const partition::VolumeRange& volume, std::stop_token stop, const RecordVisitor& visit,
                       const SkipVisitor* skipped = nullptr, std::span<const std::uint8_t>* following = nullptr,
                       const ChunkVisitor* readAhead = nullptr) const;

    /// Builds the table from the volume's record 0 (falling back to the
    /// first mirror record) and the extension records its attribute list
    /// names. mftSector is the LBA of record 0. Problems go to diagnostics.
    util::DecodeResult buildMftRunTable(const partition::VolumeRange& volume, std::uint64_t volumeStart,
                                        std::uint64_t mftSector, std::uint32_t sectorsPerCluster,
                                        std::uint64_t mirrorSector = 0, util::Diagnostics* diagnostics = nullptr);

private:
    std::vector<Extent> m_extents;
    std::uint64_t m_totalSectors = 0;
    std::uint32_t m_recordBytes = kDefaultRecordBytes;
    bool m_buildTried = false;
};

}  // namespace qvx::ntfs

#pragma once
// The runs of the MFT's own data: where each stretch of MFT records lies on
// the disk, so that a record number can be turned into the sector that holds
// it. Rebuilt by every Standard Search of an NTFS volume.

#include <cstdint>
#include <vector>

#include "partition/validate_volume.h"
#include "util/le.h"

namespace qvx::ntfs {

class MftRunTable {
public:
    /// Upper bound on the runs kept, so that a hostile run list cannot
    /// exhaust memory; decoding stops when it is reached.
    static constexpr std::size_t kMaxRuns = 1u << 20;

    void clear() {
        m_starts.clear();
        m_lengths.clear();
    }
    std::size_t runCount() const { return m_starts.size(); }
    std::uint32_t start(std::size_t run) const { return m_starts[run]; }
    std::uint32_t length(std::size_t run) const { return m_lengths[run]; }
    /// Sum of the run lengths, in sectors.
    std::uint64_t totalSectors() const;

    /// Decodes one attribute instance's run list (mapping pairs) from offset
    /// of the buffer and appends its runs. Clusters become sectors with
    /// sectorsPerCluster; the first run of the instance is relative to
    /// volumeStart, the later ones to the previous non-sparse run.
    void appendRunList(util::Bytes buffer, std::size_t offset, std::uint64_t volumeStart,
                       std::uint32_t sectorsPerCluster);

    /// Absolute sector of the first sector of record n, or 0 when the record
    /// lies beyond the table.
    std::uint32_t recordSector(std::uint32_t recordNumber) const;

    /// Builds the table from the volume's record 0 (and the extension
    /// records its attribute list names). mftSector is the LBA of record 0.
    void buildMftRunTable(const partition::VolumeRange& volume, std::uint32_t volumeStart, std::uint32_t mftSector,
                          std::uint32_t sectorsPerCluster);

    /// Record numbers of every unnamed-data entry of an attribute list held
    /// in entries[0, size).
    static std::vector<std::uint32_t> dataRecordsOfList(util::Bytes entries);

private:
    std::uint32_t previousStart() const;

    std::vector<std::uint32_t> m_starts;
    std::vector<std::uint32_t> m_lengths;
};

}  // namespace qvx::ntfs

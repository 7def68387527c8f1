#pragma once
// What a job could not read or decode. Reads that fail and records that are
// torn or corrupt are counted per kind, and the first few of each are kept
// with the record number and the sector, so that the user is told which part
// of a volume is missing from the result instead of never learning of it.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qvx::util {

enum class Problem : int {
    UnreadableSectors = 0,  // a read of the disk failed
    UnreadableRecords,      // MFT records lost to such reads
    TornRecord,             // an update-sequence check value did not match
    CorruptRecord,          // a record recognised but inconsistent
    CorruptRunList,         // a run list that does not decode within the volume
    SkippedEntry,           // a directory entry skipped for a bad name
    Count
};

struct ProblemSample {
    std::uint64_t record = UINT64_MAX;  // MFT record or entry number, if any
    std::uint64_t lba = UINT64_MAX;     // absolute sector, if known
    std::string reason;
};

/// Counts problems of a job. Thread-safe: scans and listings may report
/// from different threads.
class Diagnostics {
public:
    static constexpr std::size_t kSamplesKept = 4;

    Diagnostics() = default;
    Diagnostics(const Diagnostics& other) { merge(other); }
    Diagnostics& operator=(const Diagnostics& other) {
        if (this != &other) {
            clear();
            merge(other);
        }
        return *this;
    }

    /// Counts count occurrences (sectors for UnreadableSectors).
    void add(Problem kind, std::uint64_t count, std::uint64_t record, std::uint64_t lba, std::string reason = {});
    std::uint64_t count(Problem kind) const;
    std::vector<ProblemSample> samples(Problem kind) const;
    bool empty() const;
    void clear();
    void merge(const Diagnostics& other);

    /// One line per kind that occurred, e.g. "3 MFT records could not be
    /// read (first: record 1234 at sector 99999)".
    /// Sectors (512-byte, as recorded) are told in the disk's own sectors of
    /// sectorUnits 512-byte sectors each.
    std::vector<std::string> summaryLines(std::uint32_t sectorUnits = 1) const;

private:
    mutable std::mutex m_mutex;
    std::array<std::uint64_t, static_cast<std::size_t>(Problem::Count)> m_counts{};
    std::array<std::vector<ProblemSample>, static_cast<std::size_t>(Problem::Count)> m_samples;
};

}  // namespace qvx::util

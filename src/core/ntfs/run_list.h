#pragma once
// Run lists (mapping pairs) of non-resident attributes. Each run starts with
// a header byte: its low nibble is the byte size of the run's length in
// clusters, its high nibble the byte size of the signed offset of the run's
// first cluster from the previous run's first cluster (the first run of an
// attribute instance is relative to cluster 0). An offset size of 0 marks a
// sparse run (no clusters on disk); a header byte of 0 ends the list.

#include <cstdint>
#include <vector>

#include "partition/validate_volume.h"
#include "util/decode_status.h"
#include "util/le.h"

namespace qvx::ntfs {

struct Run {
    std::uint64_t vcn = 0;       // first virtual cluster of the run
    std::uint64_t lcn = 0;       // first cluster on the volume; unused when sparse
    std::uint64_t clusters = 0;  // length
    bool sparse = false;
    bool operator==(const Run&) const = default;
};

/// Bound on the runs of one attribute instance.
inline constexpr std::size_t kMaxRunsPerInstance = 1u << 20;

/// Decodes a run list that starts at virtual cluster startVcn and appends
/// its runs to out. Every run must lie within the volume's volumeClusters
/// clusters (0: not known, then only absurd values are refused). Corrupt,
/// with the runs before the fault kept, when a field does not fit, a length
/// is 0, a cluster falls outside the volume, or the end marker is missing.
/// vcnCount receives the clusters described.
util::DecodeResult decodeRunList(util::Bytes runList, std::uint64_t startVcn, std::uint64_t volumeClusters,
                                 std::vector<Run>& out, std::uint64_t& vcnCount);

/// The first bytes of the clusters of runs (a non-resident attribute list,
/// for instance), cluster 0 at sector cluster0; sparse runs read as zeros.
/// False when some sector could not be read (left zero).
bool readRunBytes(const partition::VolumeRange& volume, std::uint64_t cluster0, std::uint32_t sectorsPerCluster,
                  const std::vector<Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out);

}  // namespace qvx::ntfs

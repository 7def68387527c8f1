#include "ntfs/run_list.h"

#include <algorithm>
#include <limits>

namespace qvx::ntfs {

namespace {
// Beyond any real volume: 2^48 clusters.
constexpr std::uint64_t kAbsurdClusters = 1ull << 48;
}  // namespace

util::DecodeResult decodeRunList(util::Bytes list, std::uint64_t startVcn, std::uint64_t volumeClusters,
                                 std::vector<Run>& out, std::uint64_t& vcnCount) {
    vcnCount = 0;
    const std::uint64_t limit = volumeClusters != 0 ? volumeClusters : kAbsurdClusters;
    std::int64_t lcn = 0;
    std::uint64_t vcn = startVcn;
    std::size_t pos = 0;
    for (std::size_t n = 0; n < kMaxRunsPerInstance; ++n) {
        if (pos >= list.size()) return util::DecodeResult::corruptBecause("the run list has no end marker");
        const std::uint8_t header = list[pos++];
        if (header == 0) return util::DecodeResult::success();
        const unsigned lengthSize = header & 0x0F;
        const unsigned offsetSize = header >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8)
            return util::DecodeResult::corruptBecause("a run header has impossible field sizes");
        if (!util::fits(list.size(), pos, lengthSize + offsetSize))
            return util::DecodeResult::corruptBecause("a run runs past its attribute");
        std::uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length |= std::uint64_t{list[pos + i]} << (8 * i);
        pos += lengthSize;
        if (length == 0 || length > limit) return util::DecodeResult::corruptBecause("a run's length is impossible");
        Run run;
        run.vcn = vcn;
        run.clusters = length;
        if (offsetSize == 0) {
            run.sparse = true;
        } else {
            std::uint64_t raw = 0;
            for (unsigned i = 0; i < offsetSize; ++i) raw |= std::uint64_t{list[pos + i]} << (8 * i);
            if (offsetSize < 8 && (list[pos + offsetSize - 1] & 0x80) != 0) raw |= ~0ull << (8 * offsetSize);
            pos += offsetSize;
            const auto delta = static_cast<std::int64_t>(raw);
            if ((delta > 0 && lcn > std::numeric_limits<std::int64_t>::max() - delta) ||
                (delta < 0 && lcn < std::numeric_limits<std::int64_t>::min() - delta))
                return util::DecodeResult::corruptBecause("a run's offset overflows");
            lcn += delta;
            if (lcn < 0 || static_cast<std::uint64_t>(lcn) > limit || length > limit - static_cast<std::uint64_t>(lcn))
                return util::DecodeResult::corruptBecause("a run lies outside the volume");
            run.lcn = static_cast<std::uint64_t>(lcn);
        }
        if (vcn > kAbsurdClusters) return util::DecodeResult::corruptBecause("the run list is impossibly long");
        out.push_back(run);
        vcn += length;
        vcnCount += length;
    }
    return util::DecodeResult::corruptBecause("the run list has too many runs");
}

bool readRunBytes(const partition::VolumeRange& volume, std::uint64_t cluster0, std::uint32_t sectorsPerCluster,
                  const std::vector<Run>& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) {
    constexpr std::uint64_t kSector = disk::kSectorSize;
    out.clear();
    bool ok = true;
    for (const Run& run : runs) {
        if (out.size() >= bytes) break;
        const auto take = static_cast<std::size_t>(
            std::min<std::uint64_t>(run.clusters * sectorsPerCluster * kSector, bytes - out.size()));
        // Whole sectors are read in place after what is there, and the part
        // past take dropped again: out keeps its room from one call to the
        // next.
        const std::size_t at = out.size();
        const std::size_t sectors = (take + kSector - 1) / kSector;
        out.resize(at + sectors * kSector, 0);
        if (!run.sparse && volume.readCounted(cluster0 + run.lcn * sectorsPerCluster,
                                              static_cast<std::uint32_t>(sectors), out.data() + at) != 0)
            ok = false;
        out.resize(at + take);
    }
    return ok;
}

}  // namespace qvx::ntfs

// Locating and copying the contents of NTFS files over a sparse in-memory
// disk: resident data, run lists over several attribute instances and
// extension records, sparse runs, LZNT1 compression units and the
// initialized size. The selector byte picks the first record number read.

#include <cstddef>
#include <cstdint>

#include "fuzz_disk.h"
#include "ntfs/mft_run_table.h"
#include "partition/validate_volume.h"
#include "recover/extents.h"
#include "recover/ntfs_data.h"

namespace {

/// Counts what the copier writes and keeps none of it.
class CountingSink : public qvx::recover::OutputSink {
public:
    bool write(const std::uint8_t*, std::size_t length) override {
        total += length;
        return true;
    }
    std::uint64_t total = 0;
};

// Larger files are located but not copied, to keep one input fast.
constexpr std::uint64_t kMaxCopyBytes = 4u << 20;
constexpr std::uint32_t kRecordsRead = 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qvx::fuzz::FuzzDisk disk(data, size, 1u << 17);
    const qvx::partition::VolumeRange range = disk.wholeRange();

    qvx::partition::VolumeParameters params;
    if (qvx::partition::validateNtfsVolume(range, params) != 1) return 0;

    qvx::ntfs::MftRunTable runs;
    (void)runs.buildMftRunTable(range, params.cluster0Start, params.mftStart, params.sectorsPerCluster);

    qvx::recover::NtfsVolume volume;
    volume.range = range;
    volume.cluster0 = params.cluster0Start;
    volume.sectorsPerCluster = params.sectorsPerCluster;
    volume.mft = &runs;
    const std::uint32_t first = disk.device->selector();
    for (std::uint32_t n = first; n < first + kRecordsRead; ++n) {
        const qvx::recover::NtfsFileData file = qvx::recover::readNtfsFileData(volume, n);
        if (!file.found || file.layout.size > kMaxCopyBytes) continue;
        CountingSink sink;
        qvx::recover::copyFile(range, file.layout, sink);
    }
    return 0;
}

#include "cli/volume_choice.h"

#include <charconv>
#include <iostream>

#include "cli/commands.h"
#include "engine/analysis_job.h"
#include "engine/partition_listing.h"

namespace qvx::cli {

bool parseRange(const std::string& text, std::uint64_t& first, std::uint64_t& end) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const char* b = text.data();
    auto r1 = std::from_chars(b, b + colon, first);
    auto r2 = std::from_chars(b + colon + 1, b + text.size(), end);
    return r1.ec == std::errc() && r1.ptr == b + colon && r2.ec == std::errc() && r2.ptr == b + text.size();
}

int chooseVolume(const std::string& source, const VolumeChoice& choice, engine::RecoveryState& state,
                 OpenedSource& src, TerminalProgress& progress, std::stop_token stop) {
    if (choice.range.empty() == (choice.partition == 0)) {
        std::cerr << "qvx: give either --partition N or --range FIRST:END --kind KIND\n";
        return kExitUsage;
    }
    std::string error;
    if (!openSource(source, *state.reader, src, error)) {
        std::cerr << "qvx: " << error << '\n';
        return kExitUsage;
    }
    state.SelectedDisk = src.diskIndex;

    std::uint64_t first = 0;
    std::uint64_t end = 0;
    if (choice.partition > 0) {
        engine::ReadFailureTrigger trigger;
        trigger.setDeviceSelection(false);
        const engine::PartitionListing listing =
            engine::listPartitions(*state.reader, src.diskIndex, src.details, false, trigger, stop, progress);
        if (choice.partition > listing.list.count()) {
            progress.finish();
            std::cerr << "qvx: the disk has no partition " << choice.partition << '\n';
            return kExitUsage;
        }
        const auto& entry = listing.list.entries[static_cast<std::size_t>(choice.partition - 1)];
        state.FileSystemKind = entry.fileSystemName;
        first = entry.firstSector;
        end = entry.endSector;
        state.DiskPartitionList[static_cast<std::size_t>(src.diskIndex)] = listing.list;
    } else {
        if (!parseRange(choice.range, first, end)) {
            std::cerr << "qvx: --range must be FIRST:END (sectors, END exclusive)\n";
            return kExitUsage;
        }
        state.FileSystemKind = choice.kind;
    }
    if (state.FileSystemKind != "NTFS" && state.FileSystemKind != "FAT16" && state.FileSystemKind != "FAT32") {
        progress.finish();
        std::cerr << "qvx: the partition's file system is not NTFS, FAT16 or FAT32 (use --range with --kind)\n";
        return kExitUsage;
    }
    state.SectorRangeStart = first;
    state.SectorRangeEnd = end > 0 ? end - 1 : 0;
    if (state.SectorRangeStart >= state.SectorRangeEnd) {
        progress.finish();
        std::cerr << engine::kNoRecoveryMessage << '\n';
        return kExitNoRecovery;
    }
    return 0;
}

}  // namespace qvx::cli

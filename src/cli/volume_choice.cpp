#include "cli/volume_choice.h"

#include <charconv>
#include <iostream>

#include "cli/commands.h"
#include "engine/analysis_job.h"
#include "engine/partition_listing.h"
#include "util/codepage.h"

namespace qvx::cli {

bool parseRange(const std::string& text, std::uint64_t& first, std::uint64_t& end) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const char* b = text.data();
    auto r1 = std::from_chars(b, b + colon, first);
    auto r2 = std::from_chars(b + colon + 1, b + text.size(), end);
    return r1.ec == std::errc() && r1.ptr == b + colon && r2.ec == std::errc() && r2.ptr == b + text.size();
}

CLI::Validator partitionNumberCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            int number = 0;
            const char* b = text.data();
            const auto r = std::from_chars(b, b + text.size(), number);
            if (r.ec != std::errc() || r.ptr != b + text.size() || number < 1)
                return "'" + text + "' is not a partition number (1, 2, ... as `qvx partitions` lists them)";
            return {};
        },
        "N", "partition number");
}

CLI::Validator sectorRangeCheck() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::uint64_t first = 0;
            std::uint64_t end = 0;
            if (!parseRange(text, first, end))
                return "'" + text + "' is not FIRST:END (sector numbers, END exclusive)";
            if (end <= first + 1)
                return "'" + text + "': END must lie more than one sector after FIRST (END is exclusive)";
            return {};
        },
        "FIRST:END", "sector range");
}

namespace {

/// The partition a command works on when none was named: the disk's only
/// volume. 0 after printing why there is none to take.
int onlyVolume(const std::string& source, const partition::DiskPartitionList& list, int& exitCode) {
    int known = 0;
    int number = 0;
    for (int i = 0; i < list.count(); ++i) {
        const std::string& name = list.entries[static_cast<std::size_t>(i)].fileSystemName;
        if (name == "NTFS" || name == "FAT16" || name == "FAT32") {
            ++known;
            number = i + 1;
        }
    }
    if (known == 1 && list.count() == 1) return number;
    if (known == 0) {
        std::cerr << "qvx: no NTFS, FAT16 or FAT32 volume was found on " << source
                  << " (give --range FIRST:END --kind KIND to work on sectors)\n";
        exitCode = kExitNoRecovery;
        return 0;
    }
    std::cerr << "qvx: " << source << " holds " << list.count()
              << " partitions: choose one with --partition N (see `qvx partitions " << source << "`)\n";
    exitCode = kExitUsage;
    return 0;
}

}  // namespace

int chooseVolume(const std::string& source, VolumeChoice& choice, engine::RecoveryState& state,
                 OpenedSource& src, TerminalProgress& progress, std::stop_token stop) {
    if (!choice.range.empty() && choice.partition != 0) {
        std::cerr << "qvx: give either --partition N or --range FIRST:END --kind KIND, not both\n";
        return kExitUsage;
    }
    if (!choice.range.empty() && choice.kind.empty()) {
        std::cerr << "qvx: --range needs --kind NTFS, FAT16 or FAT32\n";
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
    if (choice.range.empty()) {
        engine::ReadFailureTrigger trigger;
        trigger.setDeviceSelection(false);
        const engine::PartitionListing listing =
            engine::listPartitions(*state.reader, src.diskIndex, src.details, false, trigger, stop, progress);
        progress.finish();
        if (choice.partition == 0) {
            int code = 0;
            choice.partition = onlyVolume(source, listing.list, code);
            if (choice.partition == 0) return code;
        }
        if (choice.partition > listing.list.count()) {
            std::cerr << "qvx: --partition " << choice.partition << ": " << source << " has "
                      << listing.list.count() << (listing.list.count() == 1 ? " partition" : " partitions")
                      << " (see `qvx partitions " << source << "`)\n";
            return kExitUsage;
        }
        const auto& entry = listing.list.entries[static_cast<std::size_t>(choice.partition - 1)];
        state.FileSystemKind = entry.fileSystemName;
        first = entry.firstSector;
        end = entry.endSector;
        state.DiskPartitionList[static_cast<std::size_t>(src.diskIndex)] = listing.list;
    } else {
        if (!parseRange(choice.range, first, end) || end <= first + 1) {
            std::cerr << "qvx: --range '" << choice.range << "' is not FIRST:END (sector numbers, END exclusive)\n";
            return kExitUsage;
        }
        // The range counts the disk's own sectors (4096 bytes on a 4Kn disk),
        // as `qvx partitions` shows them; the engine works in 512-byte ones.
        const std::uint64_t units = state.reader->sectorUnits(src.diskIndex);
        const std::uint64_t total = state.reader->totalSectors(src.diskIndex) / units;
        if (end > UINT64_MAX / 512 / units) {
            std::cerr << "qvx: --range " << choice.range << ": END lies beyond any disk\n";
            return kExitUsage;
        }
        first *= units;
        end *= units;
        if (total > 0 && end > total * units) {
            std::cerr << "qvx: --range " << choice.range << ": END lies beyond the end of " << source << " ("
                      << total << " sectors)\n";
            return kExitUsage;
        }
        state.FileSystemKind = choice.kind;
    }
    if (state.FileSystemKind != "NTFS" && state.FileSystemKind != "FAT16" && state.FileSystemKind != "FAT32") {
        progress.finish();
        std::cerr << "qvx: partition " << choice.partition << " of " << source << " is "
                  << state.FileSystemKind << ", not NTFS, FAT16 or FAT32 (use --range with --kind)\n";
        return kExitNoRecovery;
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

CLI::Validator codePageCheck() {
    return CLI::Validator(
        [](std::string& text) {
            int page = 0;
            try {
                page = std::stoi(text);
            } catch (...) {
                return std::string("not a number");
            }
            return util::oemCodePageKnown(page) ? std::string() : "iconv does not know code page " + text;
        },
        "CODEPAGE");
}

}  // namespace qvx::cli

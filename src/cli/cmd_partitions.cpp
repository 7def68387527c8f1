// qvx partitions: the partition list of a disk, as the partition screen
// shows it.

#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/source.h"
#include "cli/terminal.h"
#include "engine/partition_listing.h"

namespace qvx::cli {

namespace {

struct PartitionsOptions {
    std::string source;
    bool json = false;
    std::string search;  // "" (table only), "probe" (--search alone) or "deep"
    bool quiet = false;
};

void runPartitions(const PartitionsOptions& opt, CliContext& ctx) {
    disk::SectorReader reader;
    OpenedSource src;
    std::string error;
    if (!openSource(opt.source, reader, src, error)) {
        std::cerr << "qvx: " << error << '\n';
        ctx.exitCode = kExitUsage;
        return;
    }
    TerminalProgress progress(opt.quiet || opt.json);
    InterruptStop interrupt;
    engine::ReadFailureTrigger trigger;
    const partition::SearchDepth depth =
        opt.search == "deep" ? partition::SearchDepth::Deep : partition::SearchDepth::Probes;
    const engine::PartitionListing listing = engine::listPartitions(
        reader, src.diskIndex, src.details, !opt.search.empty(), trigger, interrupt.token(), progress, depth);
    progress.finish();

    // Sector numbers are the disk's own (4096-byte sectors on a 4Kn disk, as
    // the partition table counts them); the engine keeps 512-byte ones.
    const std::uint64_t units = reader.sectorUnits(src.diskIndex);
    // Volumes the partition list cannot hold are named, not truncated.
    for (const auto& skipped : listing.table.skipped)
        std::cerr << "qvx: " << partition::tableKindName(listing.table.table) << " entry " << skipped.entryIndex + 1
                  << " (" << skipped.fileSystemName << ", sectors " << skipped.firstSector << " to "
                  << skipped.endSector << ") lies beyond what byte offsets reach: not listed\n";
    if (listing.table.gptBackupUsed && !opt.quiet)
        std::cerr << "qvx: the primary GPT header or its entry array is damaged: the backup header was used\n";

    const auto& entries = listing.list.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const int number = static_cast<int>(i) + 1;
        const std::uint64_t sizeMb = e.endSector > e.firstSector ? (e.endSector - e.firstSector) >> 11 : 0;
        const std::uint64_t first = e.firstSector / units;
        const std::uint64_t end = e.endSector / units;
        const char* table = partition::tableKindName(e.table);
        if (opt.json) {
            nlohmann::ordered_json j = {{"number", number}, {"name", e.fileSystemName}, {"first", first},
                                        {"end", end},       {"size_mb", sizeMb},        {"table", table}};
            if (units != 1) j["sector_size"] = units * disk::kSectorSize;
            std::cout << j.dump() << '\n';
        } else {
            const std::string label =
                e.fileSystemName == "Unknown Partition" ? e.fileSystemName : partition::partitionLabel(number, e.fileSystemName);
            std::cout << label << "  first " << first << "  end " << end << "  " << sizeMb << " MB"
                      << (e.foundBySearch ? "  (found by search)" : "") << '\n';
        }
    }
    if (listing.searched && listing.search.stopped) ctx.exitCode = kExitPartial;
    // Nothing but the whole disk offered as "Unknown Partition": no volume.
    bool found = false;
    for (const auto& e : entries) found = found || e.fileSystemName != "Unknown Partition";
    if (!found && ctx.exitCode == kExitOk) {
        if (!opt.quiet) std::cerr << "qvx: no NTFS, FAT16 or FAT32 partition was found on " << opt.source << '\n';
        ctx.exitCode = kExitNoRecovery;
    }
}

}  // namespace

void registerPartitionsCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<PartitionsOptions>();
    CLI::App* cmd = app.add_subcommand("partitions", "List the NTFS, FAT16 and FAT32 partitions of a disk");
    cmd->add_option("SOURCE", opt->source, "Disk image, block device or PhysicalDriveN");
    cmd->add_flag("--json", opt->json, "One JSON object per partition");
    cmd->add_option("--search", opt->search,
                    "Also search the disk for lost partitions: probe cylinder and MiB boundaries (--search alone), "
                    "or read every sector for boot sectors and their backups (--search deep)")
        ->expected(0, 1);
    cmd->add_flag("--quiet,-q", opt->quiet, "No progress or help texts on stderr");
    cmd->callback([opt, cmd, &ctx] {
        PartitionsOptions o = *opt;
        if (cmd->count("--search") != 0) {
            // "--search SOURCE" (the flag before the disk, as before there was
            // a depth to give) takes the disk for the depth.
            if (o.source.empty() && o.search != "probe" && o.search != "deep") std::swap(o.source, o.search);
            if (o.search.empty()) o.search = "probe";
            if (o.search != "probe" && o.search != "deep")
                throw CLI::ValidationError("--search", o.search + " is not one of probe, deep");
        }
        if (o.source.empty()) throw CLI::RequiredError("SOURCE");
        runPartitions(o, ctx);
    });
}

}  // namespace qvx::cli

// qvx recover: the Standard Search of one partition (or sector range), then
// the contents of the selected files written under a destination folder at
// the paths `qvx analyze` lists, with recovery-report.json beside them.

#include <charconv>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/source.h"
#include "cli/terminal.h"
#include "engine/analysis_job.h"
#include "engine/partition_listing.h"
#include "engine/recovery_job.h"

namespace qvx::cli {

namespace {

struct RecoverOptions {
    std::string source;
    int partition = 0;
    std::string range;
    std::string kind;
    std::string destination;
    std::vector<std::string> paths;
    bool all = false;
    bool deletedOnly = false;
    std::string onConflict = "rename";
    bool json = false;
    bool quiet = false;
};

bool parseRange(const std::string& text, std::uint64_t& first, std::uint64_t& end) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const char* b = text.data();
    auto r1 = std::from_chars(b, b + colon, first);
    auto r2 = std::from_chars(b + colon + 1, b + text.size(), end);
    return r1.ec == std::errc() && r1.ptr == b + colon && r2.ec == std::errc() && r2.ptr == b + text.size();
}

void runRecover(const RecoverOptions& opt, CliContext& ctx) {
    if (opt.range.empty() == (opt.partition == 0)) {
        std::cerr << "qvx: give either --partition N or --range FIRST:END --kind KIND\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    if (opt.destination.empty()) {
        std::cerr << "qvx: give the destination folder (DEST or --out DIR)\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    if (opt.all && !opt.paths.empty()) {
        std::cerr << "qvx: give either --all or --path, not both\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    engine::RecoveryState state;
    OpenedSource src;
    std::string error;
    if (!openSource(opt.source, *state.reader, src, error)) {
        std::cerr << "qvx: " << error << '\n';
        ctx.exitCode = kExitUsage;
        return;
    }
    TerminalProgress progress(opt.quiet);
    InterruptStop interrupt;
    state.SelectedDisk = src.diskIndex;
    state.searchMode = engine::SearchMode::Standard;

    std::uint64_t first = 0;
    std::uint64_t end = 0;
    if (opt.partition > 0) {
        engine::ReadFailureTrigger trigger;
        trigger.setDeviceSelection(false);
        const engine::PartitionListing listing =
            engine::listPartitions(*state.reader, src.diskIndex, src.details, false, trigger, interrupt.token(), progress);
        if (opt.partition > listing.list.count()) {
            progress.finish();
            std::cerr << "qvx: the disk has no partition " << opt.partition << '\n';
            ctx.exitCode = kExitUsage;
            return;
        }
        const auto& entry = listing.list.entries[static_cast<std::size_t>(opt.partition - 1)];
        state.FileSystemKind = entry.fileSystemName;
        first = entry.firstSector;
        end = entry.endSector;
        state.DiskPartitionList[static_cast<std::size_t>(src.diskIndex)] = listing.list;
    } else {
        if (!parseRange(opt.range, first, end)) {
            std::cerr << "qvx: --range must be FIRST:END (sectors, END exclusive)\n";
            ctx.exitCode = kExitUsage;
            return;
        }
        state.FileSystemKind = opt.kind;
    }
    if (state.FileSystemKind != "NTFS" && state.FileSystemKind != "FAT16" && state.FileSystemKind != "FAT32") {
        progress.finish();
        std::cerr << "qvx: the partition's file system is not NTFS, FAT16 or FAT32 (use --range with --kind)\n";
        ctx.exitCode = kExitUsage;
        return;
    }
    state.SectorRangeStart = first;
    state.SectorRangeEnd = end > 0 ? end - 1 : 0;
    if (state.SectorRangeStart >= state.SectorRangeEnd) {
        progress.finish();
        std::cerr << engine::kNoRecoveryMessage << '\n';
        ctx.exitCode = kExitNoRecovery;
        return;
    }
    if (engine::validateSelectedVolume(state, progress) == 0 && state.FileSystemKind == "NTFS")
        progress.showMessage(engine::kNoRecoveryMessage, util::MessageKind::Information);
    const engine::AnalysisStatus status = engine::runStandardSearch(state, progress, interrupt.token());
    if (status == engine::AnalysisStatus::NothingFound || status == engine::AnalysisStatus::Invalid) {
        progress.finish();
        ctx.exitCode = kExitNoRecovery;
        return;
    }

    engine::RecoveryOptions options;
    options.destination = opt.destination;
    options.paths = opt.paths;
    options.deletedOnly = opt.deletedOnly;
    options.onConflict = opt.onConflict == "overwrite" ? recover::ConflictPolicy::Overwrite
                         : opt.onConflict == "skip"    ? recover::ConflictPolicy::Skip
                                                       : recover::ConflictPolicy::Rename;
    if (opt.json) {
        options.onFile = [](const recover::ReportEntry& e) {
            std::cout << recover::RecoveryReport::entryJson(e) << '\n';
        };
    }
    const engine::RecoveryRun run = engine::recoverSelection(state, options, progress, interrupt.token());
    progress.finish();
    if (run.status == engine::RecoveryStatus::Refused || run.status == engine::RecoveryStatus::DestinationError) {
        std::cerr << "qvx: " << run.message << '\n';
        ctx.exitCode = kExitUsage;
        return;
    }
    if (!run.message.empty()) std::cerr << "qvx: " << run.message << '\n';
    for (const std::string& p : run.unmatchedPaths) std::cerr << "qvx: nothing in the tree at " << p << '\n';
    if (!opt.quiet) {
        for (const auto& e : run.report.entries())
            if (e.outcome == recover::Outcome::Partial || e.outcome == recover::Outcome::Failed)
                std::cerr << "  " << recover::outcomeText(e.outcome) << " (" << e.status << "): " << e.path
                          << (e.note.empty() ? std::string() : " - " + e.note) << '\n';
    }
    std::cerr << run.report.summary() << '\n';
    if (!opt.paths.empty() && run.unmatchedPaths.size() == opt.paths.size()) {
        ctx.exitCode = kExitUsage;
        return;
    }
    if (run.status == engine::RecoveryStatus::Stopped || !run.report.allComplete() ||
        status == engine::AnalysisStatus::Stopped)
        ctx.exitCode = kExitPartial;
}

}  // namespace

void registerRecoverCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<RecoverOptions>();
    CLI::App* cmd = app.add_subcommand("recover", "Write the contents of recovered files to a folder");
    cmd->add_option("SOURCE", opt->source, "Disk image, block device or PhysicalDriveN")->required();
    auto* dest = cmd->add_option("DEST", opt->destination, "Destination folder (not on the source disk)");
    cmd->add_option("--out,-o", opt->destination, "Destination folder, instead of DEST")->excludes(dest);
    cmd->add_option("--partition,-p", opt->partition, "Partition number (as `qvx partitions` lists it)");
    cmd->add_option("--range", opt->range, "Sector range FIRST:END (END exclusive) instead of a partition");
    cmd->add_option("--kind", opt->kind, "File system of the range: NTFS, FAT16 or FAT32")
        ->check(CLI::IsMember({"NTFS", "FAT16", "FAT32"}));
    cmd->add_option("--path", opt->paths, "A folder or file to recover, as `qvx analyze --json` prints its path (repeatable)");
    cmd->add_flag("--all", opt->all, "Recover the whole tree (the default without --path)");
    cmd->add_flag("--deleted-only", opt->deletedOnly, "Only deleted files");
    cmd->add_option("--on-conflict", opt->onConflict, "When a file of that name exists: rename, overwrite or skip")
        ->check(CLI::IsMember({"rename", "overwrite", "skip"}));
    cmd->add_flag("--json", opt->json, "One JSON object per file on stdout");
    cmd->add_flag("--quiet,-q", opt->quiet, "No progress on stderr");
    cmd->callback([opt, &ctx] { runRecover(*opt, ctx); });
}

}  // namespace qvx::cli

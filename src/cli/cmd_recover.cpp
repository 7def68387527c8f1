// qvx recover: the Standard Search of one partition (or sector range), then
// the contents of the selected files written under a destination folder at
// the paths `qvx analyze` lists, with recovery-report.json beside them.

#include <charconv>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/problems.h"
#include "util/codepage.h"
#include "cli/source.h"
#include "cli/terminal.h"
#include "cli/text_escape.h"
#include "cli/volume_choice.h"
#include "engine/advance_search.h"
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
    std::string mode = "standard";
    int fileSystem = 1;
    int codePage = 850;
    std::string destination;
    std::vector<std::string> paths;
    bool all = false;
    bool deletedOnly = false;
    std::vector<std::uint64_t> ids;
    std::vector<std::string> globs;
    bool ignoreCase = false;
    std::string onConflict = "rename";
    bool json = false;
    bool skipOverwritten = false;
    bool quiet = false;
};

engine::AnalysisStatus openByStandardSearch(engine::RecoveryState& state, TerminalProgress& progress,
                                            InterruptStop& interrupt) {
    if (engine::validateSelectedVolume(state, progress) == 0 && state.FileSystemKind == "NTFS")
        progress.showMessage(engine::kNoRecoveryMessage, util::MessageKind::Information);
    return engine::runStandardSearch(state, progress, interrupt.token());
}

/// The raw scan of the range, then file system fsNumber of those found.
/// NothingFound when none was found; Invalid when fsNumber names none.
engine::AnalysisStatus openByAdvanceSearch(engine::RecoveryState& state, int fsNumber, TerminalProgress& progress,
                                           InterruptStop& interrupt) {
    if (!engine::advanceSearchAvailable(state.FileSystemKind)) return engine::AnalysisStatus::Invalid;
    const engine::AdvanceScanResult scanned = engine::runAdvanceScan(state, progress, interrupt.token());
    if (scanned.status != engine::AdvanceScanStatus::Found) {
        progress.finish();
        std::cerr << engine::kNoFileSystemAdvisory << '\n';
        return engine::AnalysisStatus::NothingFound;
    }
    if (fsNumber < 1 || fsNumber > scanned.fileSystemCount) {
        progress.finish();
        std::cerr << "qvx: there is no file system " << fsNumber << " (found " << scanned.fileSystemCount << ")\n";
        return engine::AnalysisStatus::Invalid;
    }
    // After a stopped scan the opening runs in full; a second Ctrl-C exits.
    const std::stop_token openStop = scanned.stopped ? std::stop_token{} : interrupt.token();
    const engine::AnalysisStatus status = engine::openAdvanceFileSystem(state, fsNumber, progress, openStop);
    return scanned.stopped && status == engine::AnalysisStatus::Done ? engine::AnalysisStatus::Stopped : status;
}

void runRecover(const RecoverOptions& opt, CliContext& ctx) {
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
    TerminalProgress progress(opt.quiet);
    InterruptStop interrupt;
    state.searchMode = opt.mode == "advance" ? engine::SearchMode::Advance : engine::SearchMode::Standard;
    state.oemCodePage = opt.codePage;
    VolumeChoice choice{opt.partition, opt.range, opt.kind};
    if (const int code = chooseVolume(opt.source, choice, state, src, progress, interrupt.token())) {
        ctx.exitCode = code;
        return;
    }
    const engine::AnalysisStatus status = state.searchMode == engine::SearchMode::Advance
                                              ? openByAdvanceSearch(state, opt.fileSystem, progress, interrupt)
                                              : openByStandardSearch(state, progress, interrupt);
    if (status == engine::AnalysisStatus::NothingFound || status == engine::AnalysisStatus::Invalid) {
        progress.finish();
        ctx.exitCode = status == engine::AnalysisStatus::Invalid && state.searchMode == engine::SearchMode::Advance
                           ? kExitUsage
                           : kExitNoRecovery;
        return;
    }

    engine::RecoveryOptions options;
    options.destination = opt.destination;
    options.paths = opt.paths;
    options.deletedOnly = opt.deletedOnly;
    options.skipOverwritten = opt.skipOverwritten;
    options.ids = opt.ids;
    options.globs = opt.globs;
    options.ignoreCase = opt.ignoreCase;
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
        std::cerr << "qvx: " << terminalSafe(run.message) << '\n';
        ctx.exitCode = kExitUsage;
        return;
    }
    if (!run.message.empty()) std::cerr << "qvx: " << terminalSafe(run.message) << '\n';
    for (const std::string& p : run.unmatchedPaths)
        std::cerr << "qvx: nothing in the tree at " << terminalSafe(p) << '\n';
    for (const std::string& p : run.unmatchedSelectors) std::cerr << "qvx: " << terminalSafe(p) << " selects nothing\n";
    if (run.skippedOverwritten != 0 && !opt.quiet)
        std::cerr << "Left out " << run.skippedOverwritten << " overwritten deleted file"
                  << (run.skippedOverwritten == 1 ? "" : "s") << '\n';
    // Files not recovered completely are errors: named also with --quiet.
    for (const auto& e : run.report.entries())
        if (e.outcome == recover::Outcome::Partial || e.outcome == recover::Outcome::Failed)
            std::cerr << "  " << recover::outcomeText(e.outcome) << " (" << e.status << "): " << terminalSafe(e.path)
                      << (e.note.empty() ? std::string() : " - " + terminalSafe(e.note)) << '\n';
    if (!opt.quiet) std::cerr << run.report.summary() << '\n';
    // What could not be read is a warning even with --quiet.
    printProblems(state.diagnostics, std::cerr, state.reader->sectorUnits(state.SelectedDisk));
    if (!opt.quiet && !run.reportPath.empty()) std::cerr << "Report: " << terminalSafe(run.reportPath) << '\n';
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
    cmd->add_option("--partition,-p", opt->partition,
                    "Partition number (as `qvx partitions` lists it; may be left out when the disk holds one volume)")
        ->check(partitionNumberCheck());
    cmd->add_option("--range", opt->range, "Sector range FIRST:END (END exclusive) instead of a partition")
        ->check(sectorRangeCheck());
    cmd->add_option("--kind", opt->kind, "File system of the range: NTFS, FAT16 or FAT32")
        ->check(CLI::IsMember({"NTFS", "FAT16", "FAT32"}));
    cmd->add_option("--mode", opt->mode, "Search mode: standard or advance")
        ->check(CLI::IsMember({"standard", "advance"}));
    cmd->add_option("--codepage", opt->codePage, "OEM code page of FAT short names (default 850)")
        ->check(codePageCheck());
    cmd->add_option("--fs", opt->fileSystem, "Advance Search: the file system to recover from (as listed, default 1)");
    cmd->add_option("--path", opt->paths, "A folder or file to recover, as `qvx analyze --json` prints its path (repeatable)");
    cmd->add_flag("--all", opt->all, "Recover the whole tree (the default without --path)");
    cmd->add_flag("--deleted-only", opt->deletedOnly, "Only deleted files");
    cmd->add_flag("--skip-overwritten", opt->skipOverwritten,
                  "Leave out deleted files whose every cluster now belongs to other files");
    cmd->add_option("--id", opt->ids,
                    "Only the item of this record number: NTFS MFT record, FAT first cluster (repeatable)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                std::uint32_t number = 0;
                const auto r = std::from_chars(text.data(), text.data() + text.size(), number);
                if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size())
                    return "'" + text + "' is not a record number (0 to 4294967295, as `self` in analyze --json)";
                return {};
            },
            "N", "record number"));
    cmd->add_option("--glob", opt->globs, "Only items whose path matches this shell pattern, e.g. '*.jpg' (repeatable)");
    cmd->add_flag("--ignore-case", opt->ignoreCase, "Match --glob patterns without regard to case");
    cmd->add_option("--on-conflict", opt->onConflict, "When a file of that name exists: rename, overwrite or skip")
        ->check(CLI::IsMember({"rename", "overwrite", "skip"}));
    cmd->add_flag("--json", opt->json, "One JSON object per file on stdout");
    cmd->add_flag("--quiet,-q", opt->quiet, "Print nothing on stderr but errors");
    cmd->callback([opt, &ctx] { runRecover(*opt, ctx); });
}

}  // namespace qvx::cli

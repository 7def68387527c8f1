// qvx load-log: loads a session log against the disk SOURCE and prints the
// recovered tree as `qvx analyze` does. Also the session save of analyze.

#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/source.h"
#include "cli/terminal.h"
#include "cli/tree_output.h"
#include "engine/session_job.h"

namespace qvx::cli {

namespace {

struct LoadLogOptions {
    std::string file;
    std::string source;
    bool json = false;
    std::string format = "text";
    bool quiet = false;
};

void runLoadLog(const LoadLogOptions& opt, CliContext& ctx) {
    engine::RecoveryState state;
    OpenedSource src;
    std::string error;
    if (!openSource(opt.source, *state.reader, src, error)) {
        std::cerr << "qvx: " << error << '\n';
        ctx.exitCode = kExitUsage;
        return;
    }
    state.SelectedDisk = src.diskIndex;
    TerminalProgress progress(opt.quiet);
    InterruptStop interrupt;
    const engine::SessionLoadResult result =
        engine::loadSessionFile(state, opt.file, src.details.DiskModelText, progress, interrupt.token());
    progress.finish();
    if (result.status == engine::SessionLoadStatus::Refused) {
        ctx.exitCode = kExitUsage;
        return;
    }
    if (result.status == engine::SessionLoadStatus::Stopped) {
        ctx.exitCode = kExitPartial;
        return;
    }
    engine::ListingFormat format = engine::ListingFormat::Json;
    if (!opt.json && !engine::parseListingFormat(opt.format, format)) format = engine::ListingFormat::Text;
    printTree(state, format, interrupt.token());
    if (interrupt.interrupted()) ctx.exitCode = kExitPartial;
}

}  // namespace

void addFormatOptions(CLI::App& cmd, std::string& format, bool& json) {
    CLI::Option* formatOption = cmd.add_option("--format", format,
                   "Output: text (default), json (one object per folder and file, in tree order), bodyfile "
                   "(timeline body file, format 3) or csv")
        ->check(CLI::IsMember({"text", "json", "bodyfile", "csv"}));
    cmd.add_flag("--json", json, "Shorthand for --format json")->excludes(formatOption);
}

bool saveSessionLog(const engine::RecoveryState& state, const std::string& path, const std::string& diskModelText,
                    int selectedPartition) {
    std::string error;
    if (engine::SaveSession(state, path, diskModelText, selectedPartition, error)) return true;
    std::cerr << "qvx: " << error << '\n';
    return false;
}

void registerLoadLogCommand(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<LoadLogOptions>();
    CLI::App* cmd = app.add_subcommand("load-log", "Load a session log and print its recovered tree");
    cmd->add_option("FILE", opt->file, "Session log written by `qvx analyze --save-log`")->required();
    cmd->add_option("SOURCE", opt->source, "The disk (image, block device or PhysicalDriveN) the log was saved for")
        ->required();
    addFormatOptions(*cmd, opt->format, opt->json);
    cmd->add_flag("--quiet,-q", opt->quiet, "No progress or help texts on stderr");
    cmd->callback([opt, &ctx] { runLoadLog(*opt, ctx); });
}

}  // namespace qvx::cli

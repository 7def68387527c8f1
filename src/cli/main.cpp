// qvx: the command-line front end of the recovery engine.

#include <exception>
#include <iostream>

#include "cli/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"qvx - recover folders and files from NTFS, FAT16 and FAT32 volumes (read-only)"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show help for every command");
    qvx::cli::CliContext ctx;
    qvx::cli::registerDisksCommand(app, ctx);
    qvx::cli::registerPartitionsCommand(app, ctx);
    qvx::cli::registerAnalyzeCommand(app, ctx);
    qvx::cli::registerRecoverCommand(app, ctx);
    qvx::cli::registerLoadLogCommand(app, ctx);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : qvx::cli::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "qvx: " << e.what() << '\n';
        return qvx::cli::kExitUsage;
    }
    return ctx.exitCode;
}

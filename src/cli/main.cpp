// qvx: the command-line front end of the recovery engine.

#include <exception>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/completion.h"
#include "cli/help_all.h"
#include "cli/terminal.h"
#include "util/version.h"

int main(int argc, char** argv) {
    CLI::App app{"qvx - recover folders and files from NTFS, FAT16 and FAT32 volumes (read-only)"};
    app.require_subcommand(1);
    // Options of qvx itself (--progress) may also follow the sub-command.
    app.fallthrough();
    app.add_flag_callback(
        "--progress", [] { qvx::cli::setProgressWanted(true); },
        "Show the progress (done of total, rate, time left) also when stderr is not a terminal");
    app.set_version_flag("--version", std::string("qvx ") + qvx::util::kVersion, "Show the version and exit");
    qvx::cli::CliContext ctx;
    qvx::cli::registerDisksCommand(app, ctx);
    qvx::cli::registerPartitionsCommand(app, ctx);
    qvx::cli::registerAnalyzeCommand(app, ctx);
    qvx::cli::registerRecoverCommand(app, ctx);
    qvx::cli::registerLoadLogCommand(app, ctx);
    // The manual page is made from this text by help2man.
    app.add_flag_callback(
        "--help-all",
        [&app] {
            qvx::cli::writeFullHelp(app, std::cout);
            throw CLI::Success();
        },
        "Show the help of every command and exit");
    // Hidden: the build writes the installed bash completion with it.
    app.add_flag_callback(
           "--bash-completion",
           [&app] {
               qvx::cli::writeBashCompletion(app, std::cout);
               throw CLI::Success();
           },
           "Print the bash completion script")
        ->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --help-all, --version
        std::cerr << "qvx: " << e.what() << "\nRun 'qvx --help-all' for every command and option.\n";
        return qvx::cli::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "qvx: " << e.what() << '\n';
        return qvx::cli::kExitUsage;
    }
    return ctx.exitCode;
}

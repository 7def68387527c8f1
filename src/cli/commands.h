#pragma once
// Each qvx sub-command registers itself on the application. Exit codes:
// 0 success; 1 finished partially (stopped, or some file not recovered
// completely); 2 usage error or an unreadable or refused source, log file or
// destination; 3 when nothing was found to work on (only "Unknown
// Partition"), or the result is "Recovery is not possible..." or "No file
// system could be identified...".

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace qvx::cli {

enum ExitCode : int { kExitOk = 0, kExitPartial = 1, kExitUsage = 2, kExitNoRecovery = 3 };

/// Shared flags and the exit code a sub-command sets.
struct CliContext {
    int exitCode = kExitOk;
};

void registerDisksCommand(CLI::App& app, CliContext& ctx);
void registerPartitionsCommand(CLI::App& app, CliContext& ctx);
void registerAnalyzeCommand(CLI::App& app, CliContext& ctx);
void registerRecoverCommand(CLI::App& app, CliContext& ctx);
void registerLoadLogCommand(CLI::App& app, CliContext& ctx);
// Later commands (analyze, recover, load-log) add a register function here
// and a call in main.cpp.

}  // namespace qvx::cli

namespace qvx::cli {

/// Prints a warning to stderr once per process.
void warnOnce(const std::string& text);

}  // namespace qvx::cli

#pragma once
// Bash completion for qvx, written from the registered sub-commands and
// options so that it never falls behind the command line. The build runs
// `qvx --bash-completion` and installs the result.

#include <CLI/CLI.hpp>
#include <ostream>

namespace qvx::cli {

/// Writes a bash completion script for app (sub-commands, their options,
/// the fixed choices of options such as --kind, files elsewhere).
void writeBashCompletion(CLI::App& app, std::ostream& out);

}  // namespace qvx::cli

#pragma once
// `qvx --help-all`: the help of qvx and of every sub-command in one text,
// laid out so that help2man turns it into the manual page (one subsection
// per sub-command, one entry per option).

#include <CLI/CLI.hpp>
#include <ostream>

namespace qvx::cli {

void writeFullHelp(CLI::App& app, std::ostream& out);

}  // namespace qvx::cli

#pragma once
// The recovered tree as `qvx analyze` prints it, shared with `qvx load-log`
// so a loaded session prints exactly as the analysis that saved it, and the
// session save behind `qvx analyze --save-log`.

#include <stop_token>
#include <string>

#include "engine/listing_output.h"
#include "engine/recovery_state.h"

namespace CLI {
class App;
}

namespace qvx::cli {

/// Lists every folder of the tree, root first, in pre-order, in the chosen
/// format, on stdout. Defined with the analyze command.
void printTree(engine::RecoveryState& state, engine::ListingFormat format, std::stop_token stop);

/// --format text|json|bodyfile|csv and --json, its shorthand for json.
void addFormatOptions(CLI::App& cmd, std::string& format, bool& json);

/// Writes the session log of a finished analysis to path exactly as given;
/// on failure prints the cause and returns false (exit code 2). Defined
/// with the load-log command.
bool saveSessionLog(const engine::RecoveryState& state, const std::string& path, const std::string& diskModelText,
                    int selectedPartition);

}  // namespace qvx::cli

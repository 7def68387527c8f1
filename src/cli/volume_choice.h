#pragma once
// The volume a command works on: a partition of SOURCE as `qvx partitions`
// numbers it, or a sector range with the file system named by the user.

#include <CLI/CLI.hpp>
#include <stop_token>
#include <string>

#include "cli/source.h"
#include "cli/terminal.h"
#include "engine/recovery_state.h"

namespace qvx::cli {

struct VolumeChoice {
    int partition = 0;   // 1-based; 0 when a range is given or nothing was named
    std::string range;   // "FIRST:END", END exclusive
    std::string kind;    // file system of the range
};

/// Parses "FIRST:END"; false when either number is missing or malformed.
bool parseRange(const std::string& text, std::uint64_t& first, std::uint64_t& end);

/// Checks of --partition (a number from 1) and --range (FIRST:END with END
/// after FIRST) at parse time: a wrong value is a usage error naming the
/// option.
CLI::Validator partitionNumberCheck();
CLI::Validator sectorRangeCheck();
/// --codepage: a number naming an OEM code page iconv knows.
CLI::Validator codePageCheck();

/// Opens SOURCE and sets the disk, file-system kind and sector range of
/// state from the choice. Without a partition or range, a disk holding one
/// volume is that volume; choice.partition is then set to it. Returns 0, or
/// the exit code after printing why the volume cannot be worked on.
int chooseVolume(const std::string& source, VolumeChoice& choice, engine::RecoveryState& state,
                 OpenedSource& src, TerminalProgress& progress, std::stop_token stop);

}  // namespace qvx::cli

#pragma once
// The closing lines that tell the user which part of a volume could not be
// read or decoded, so that a result with holes is never taken as whole.

#include <cstdint>
#include <iosfwd>

#include "util/diagnostics.h"

namespace qvx::cli {

/// One "qvx: ..." line per kind of problem, on err; sectors in the disk's
/// own sectors of sectorUnits 512-byte sectors each.
void printProblems(const util::Diagnostics& diagnostics, std::ostream& err, std::uint32_t sectorUnits = 1);

}  // namespace qvx::cli

#pragma once
// The closing lines that tell the user which part of a volume could not be
// read or decoded, so that a result with holes is never taken as whole.

#include <iosfwd>

#include "util/diagnostics.h"

namespace qvx::cli {

/// One "qvx: ..." line per kind of problem, on err.
void printProblems(const util::Diagnostics& diagnostics, std::ostream& err);

}  // namespace qvx::cli

#include "cli/problems.h"

#include <ostream>

namespace qvx::cli {

void printProblems(const util::Diagnostics& diagnostics, std::ostream& err, std::uint32_t sectorUnits) {
    for (const std::string& line : diagnostics.summaryLines(sectorUnits)) err << "qvx: " << line << '\n';
}

}  // namespace qvx::cli

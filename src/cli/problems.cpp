#include "cli/problems.h"

#include <ostream>

namespace qvx::cli {

void printProblems(const util::Diagnostics& diagnostics, std::ostream& err) {
    for (const std::string& line : diagnostics.summaryLines()) err << "qvx: " << line << '\n';
}

}  // namespace qvx::cli

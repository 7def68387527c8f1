#pragma once
// recovery-report.json written while the recovery runs, so that a run cut
// short (killed, power lost, a second Ctrl-C) still leaves a report of the
// files finished so far. The file is a JSON document at every moment:
//
//   {"files": [ row, row, ..., row-in-progress ], "summary": {"state": "running", ...}}
//
// Each update rewrites, in one write, everything from the end of the last
// finished row: the row of the file being written (marked "stopped" until it
// finishes), the summary and the closing brackets. The file never shrinks
// (trailing spaces fill it), so no stale bytes follow the document. At the
// end the finished report (state "done" or "stopped") replaces it atomically
// through a temporary file and a rename. A report whose state is still
// "running" was cut short; its last row tells which file was in progress.

#include <cstdint>
#include <string>

#include "recover/destination_writer.h"
#include "recover/report.h"

namespace qvx::recover {

class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    /// Creates the report in the destination root under name, or the next
    /// free "stem-N.ext" (an existing file is never reused or truncated).
    bool create(DestinationWriter& writer, const std::string& name, std::string& error);
    const std::string& relativePath() const { return m_relative; }

    /// The file now being written, shown as stopped until finished() is called.
    void inProgress(const ReportEntry& entry, const RecoveryReport& report);
    /// A row that was just added to report (its last entry).
    void finished(const RecoveryReport& report);
    /// Replaces the file by the complete report. state: "done" or "stopped".
    bool complete(const RecoveryReport& report, const std::string& state, std::string& error);

private:
    void rewriteTail(const std::string& row, const RecoveryReport& report, const ReportEntry* extra);

    DestinationWriter* m_writer = nullptr;
    int m_fd = -1;
    std::string m_relative;
    std::uint64_t m_rowsEnd = 0;   // offset just past the last finished row
    std::uint64_t m_fileSize = 0;  // largest size written so far
    std::size_t m_rows = 0;
    bool m_failed = false;
};

/// The row of a file whose copy is under way.
ReportEntry inProgressEntry(const ReportEntry& entry);

}  // namespace qvx::recover

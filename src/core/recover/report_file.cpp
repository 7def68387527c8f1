#include "recover/report_file.h"

#include <unistd.h>

#include <cerrno>

namespace qvx::recover {

namespace {

constexpr const char* kHead = "{\n  \"files\": [";

bool writeAt(int fd, std::uint64_t offset, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ReportEntry inProgressEntry(const ReportEntry& entry) {
    ReportEntry e = entry;
    e.outcome = Outcome::Partial;
    e.status = "stopped";
    e.note = "the recovery ended while this file was being written";
    e.md5.clear();
    e.sha256.clear();
    return e;
}

ReportFile::~ReportFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ReportFile::create(DestinationWriter& writer, const std::string& name, std::string& error) {
    m_writer = &writer;
    if (!writer.createReport(name, m_fd, m_relative, error)) return false;
    const std::string head = kHead;
    RecoveryReport empty;
    m_rowsEnd = head.size();
    if (!writeAt(m_fd, 0, head)) {
        error = "cannot write " + writer.root() + "/" + m_relative;
        return false;
    }
    m_fileSize = head.size();
    rewriteTail("", empty, nullptr);
    if (m_failed) error = "cannot write " + writer.root() + "/" + m_relative;
    return !m_failed;
}

void ReportFile::rewriteTail(const std::string& row, const RecoveryReport& report, const ReportEntry* extra) {
    if (m_fd < 0 || m_failed) return;
    std::string text = row + "\n  ],\n  \"summary\": " + report.summaryJson("running", extra) + "\n}\n";
    if (m_rowsEnd + text.size() < m_fileSize) text.append(m_fileSize - m_rowsEnd - text.size(), ' ');
    if (!writeAt(m_fd, m_rowsEnd, text)) {
        m_failed = true;
        return;
    }
    m_fileSize = std::max<std::uint64_t>(m_fileSize, m_rowsEnd + text.size());
}

void ReportFile::inProgress(const ReportEntry& entry, const RecoveryReport& report) {
    const ReportEntry row = inProgressEntry(entry);
    rewriteTail((m_rows == 0 ? "\n    " : ",\n    ") + RecoveryReport::entryJson(row), report, &row);
}

void ReportFile::finished(const RecoveryReport& report) {
    if (report.entries().empty() || m_fd < 0 || m_failed) return;
    const std::string row = (m_rows == 0 ? "\n    " : ",\n    ") + RecoveryReport::entryJson(report.entries().back());
    rewriteTail(row, report, nullptr);
    if (m_failed) return;
    m_rowsEnd += row.size();
    ++m_rows;
}

bool ReportFile::complete(const RecoveryReport& report, const std::string& state, std::string& error) {
    if (m_fd < 0) {
        error = "the report was not created";
        return false;
    }
    ::close(m_fd);
    m_fd = -1;
    return m_writer->replaceAtomically(m_relative, report.toJson(state), error);
}

}  // namespace qvx::recover

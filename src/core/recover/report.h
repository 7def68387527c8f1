#pragma once
// What a recovery did with every selected file, for the summary and for
// recovery-report.json in the destination folder.

#include <cstdint>
#include <string>
#include <vector>

#include "records/data_condition.h"
#include "records/provenance.h"

namespace qvx::recover {

enum class Outcome {
    Complete,  // every byte located and written
    Partial,   // written, but some bytes could not be located, read or trusted
    Failed,    // nothing usable written
    Skipped,   // a file of that name existed and the policy said skip
};

const char* outcomeText(Outcome outcome);

struct ReportEntry {
    std::string path;      // as the listing shows it (UTF-8, '/'-separated, from the volume root)
    std::string written;   // where it went, relative to the destination; empty if nowhere
    bool deleted = false;
    std::uint64_t size = 0;
    std::uint64_t bytesWritten = 0;
    Outcome outcome = Outcome::Complete;
    std::string status;    // finer status: "complete", "unverified", "overwritten", "incomplete", ...
    std::string note;      // why it is not complete, or a renaming
    std::string md5;       // hex digests of the bytes written; empty when nothing was kept
    std::string sha256;
    /// Deleted files: whether the clusters read were still free.
    records::DataCondition condition;
    records::Provenance provenance;
    /// The type of the first bytes written (a MIME type), when any were.
    std::string contentType;
    bool typeMismatch = false;  // contentType disagrees with the name's extension
};

class RecoveryReport {
public:
    void add(ReportEntry entry);
    const std::vector<ReportEntry>& entries() const { return m_entries; }

    std::uint64_t count(Outcome outcome) const;
    std::uint64_t bytesWritten() const { return m_bytes; }
    bool allComplete() const { return count(Outcome::Partial) == 0 && count(Outcome::Failed) == 0; }

    /// "Files written: N, bytes: B, incomplete: I, failed: F, skipped: S".
    std::string summary() const;
    /// The whole report as a JSON document; state is "done" or "stopped".
    std::string toJson(const std::string& state = "done") const;
    /// The summary object: counts of the rows (plus extra, when given, as
    /// one more row) and the run's state.
    std::string summaryJson(const std::string& state, const ReportEntry* extra = nullptr) const;
    /// One entry as a single-line JSON object.
    static std::string entryJson(const ReportEntry& entry);

private:
    std::vector<ReportEntry> m_entries;
    std::uint64_t m_bytes = 0;
    // Rows per outcome, kept as rows are added: the summary is written
    // after every file, so it must not count the rows each time.
    std::uint64_t m_counts[4] = {0, 0, 0, 0};
};

/// s as a JSON string literal (s is UTF-8).
std::string jsonString(std::string_view s);
/// The same literal appended to out.
void appendJsonString(std::string& out, std::string_view s);
/// value in decimal appended to out.
void appendNumber(std::string& out, std::uint64_t value);

/// The condition as JSON members to append to an object:
/// ,"condition":"partly overwritten","reused_clusters":k,"total_clusters":n,
/// "reused_by":[paths] (reused_by only when some owner is known; the counts
/// not for "unknown"). Empty for a live item.
std::string conditionJson(const records::DataCondition& condition);
void appendConditionJson(std::string& out, const records::DataCondition& condition);
/// ,"found":{"in":"MFT record","record":n,"sector":s} (a FAT entry: "sector"
/// and "offset"; a FAT folder: "cluster" and "sector"),"parent_by":"...".
/// Empty for the synthetic folder.
std::string provenanceJson(const records::Provenance& provenance);
void appendProvenanceJson(std::string& out, const records::Provenance& provenance);

}  // namespace qvx::recover

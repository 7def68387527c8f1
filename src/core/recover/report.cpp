#include "recover/report.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qvx::recover {

const char* outcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Complete: return "complete";
    case Outcome::Partial: return "partial";
    case Outcome::Failed: return "failed";
    case Outcome::Skipped: return "skipped";
    }
    return "failed";
}

std::string jsonString(std::string_view s) {
    std::string out;
    appendJsonString(out, s);
    return out;
}

void appendJsonString(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    // Runs of bytes that need no escape are copied whole; eight bytes at a
    // time are tested for a control character, '"' or '\\' at once.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto hasZero = [](std::uint64_t w) { return ((w - kOnes) & ~w & kHigh) != 0; };
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        while (i + 8 <= s.size()) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            const bool control = ((w - kOnes * 0x20) & ~w & kHigh) != 0;
            if (control || hasZero(w ^ (kOnes * '"')) || hasZero(w ^ (kOnes * '\\'))) break;
            i += 8;
        }
        if (i >= s.size()) break;
        const auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0x20 && b != '"' && b != '\\') continue;
        out.append(s, run, i - run);
        run = i + 1;
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 15]};
            out.append(esc, sizeof esc);
        }
        }
    }
    out.append(s, run, s.size() - run);
    out.push_back('"');
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    out.append(digits, end);
}

std::string conditionJson(const records::DataCondition& c) {
    std::string out;
    appendConditionJson(out, c);
    return out;
}

void appendConditionJson(std::string& out, const records::DataCondition& c) {
    if (!c.known()) return;
    out += ",\"condition\":";
    appendJsonString(out, records::conditionText(c.kind));
    if (c.kind != records::DataConditionKind::Unknown) {
        out += ",\"reused_clusters\":";
        appendNumber(out, c.reusedClusters);
        out += ",\"total_clusters\":";
        appendNumber(out, c.totalClusters);
    }
    if (!c.reusedBy.empty()) {
        out += ",\"reused_by\":[";
        for (std::size_t i = 0; i < c.reusedBy.size(); ++i) {
            if (i != 0) out += ',';
            appendJsonString(out, c.reusedBy[i]);
        }
        out += "]";
    }
}

std::string provenanceJson(const records::Provenance& p) {
    std::string out;
    appendProvenanceJson(out, p);
    return out;
}

void appendProvenanceJson(std::string& out, const records::Provenance& p) {
    using records::FoundIn;
    if (p.foundIn == FoundIn::Nowhere) return;
    out += ",\"found\":{\"in\":";
    appendJsonString(out, records::foundInText(p.foundIn));
    switch (p.foundIn) {
    case FoundIn::MftRecord: out += ",\"record\":"; appendNumber(out, p.record); break;
    case FoundIn::DirectoryCluster: out += ",\"cluster\":"; appendNumber(out, p.record); break;
    default: break;
    }
    out += ",\"sector\":";
    appendNumber(out, p.sector);
    if (p.foundIn == FoundIn::DirectoryEntry) {
        out += ",\"offset\":";
        appendNumber(out, p.offset);
    }
    out += "}";
    if (p.parentBy != records::ParentBy::None) {
        out += ",\"parent_by\":";
        appendJsonString(out, records::parentByText(p.parentBy));
    }
}

void RecoveryReport::add(ReportEntry entry) {
    m_bytes += entry.bytesWritten;
    ++m_counts[static_cast<int>(entry.outcome) & 3];
    m_entries.push_back(std::move(entry));
}

std::uint64_t RecoveryReport::count(Outcome outcome) const { return m_counts[static_cast<int>(outcome) & 3]; }

std::string RecoveryReport::summary() const {
    return "Files written: " + std::to_string(count(Outcome::Complete) + count(Outcome::Partial)) +
           ", bytes: " + std::to_string(m_bytes) + ", incomplete: " + std::to_string(count(Outcome::Partial)) +
           ", failed: " + std::to_string(count(Outcome::Failed)) + ", skipped: " + std::to_string(count(Outcome::Skipped));
}

std::string RecoveryReport::entryJson(const ReportEntry& e) {
    std::string out = "{\"path\":" + jsonString(e.path) + ",\"written\":" + jsonString(e.written) +
                      ",\"deleted\":" + (e.deleted ? "true" : "false") + ",\"size\":" + std::to_string(e.size) +
                      ",\"bytesWritten\":" + std::to_string(e.bytesWritten) + ",\"outcome\":\"" +
                      outcomeText(e.outcome) + "\",\"status\":" + jsonString(e.status);
    if (!e.note.empty()) out += ",\"note\":" + jsonString(e.note);
    if (!e.md5.empty()) out += ",\"md5\":" + jsonString(e.md5);
    if (!e.sha256.empty()) out += ",\"sha256\":" + jsonString(e.sha256);
    out += conditionJson(e.condition);
    out += provenanceJson(e.provenance);
    if (!e.contentType.empty()) {
        out += ",\"content_type\":" + jsonString(e.contentType);
        out += e.typeMismatch ? ",\"type_mismatch\":true" : ",\"type_mismatch\":false";
    }
    out += "}";
    return out;
}

std::string RecoveryReport::summaryJson(const std::string& state, const ReportEntry* extra) const {
    auto n = [&](Outcome o) { return count(o) + (extra != nullptr && extra->outcome == o ? 1 : 0); };
    const std::uint64_t bytes = m_bytes + (extra != nullptr ? extra->bytesWritten : 0);
    const std::uint64_t rows = m_entries.size() + (extra != nullptr ? 1 : 0);
    return "{\"state\": " + jsonString(state) + ", \"rows\": " + std::to_string(rows) +
           ", \"written\": " + std::to_string(n(Outcome::Complete) + n(Outcome::Partial)) +
           ", \"bytes\": " + std::to_string(bytes) + ", \"complete\": " + std::to_string(n(Outcome::Complete)) +
           ", \"incomplete\": " + std::to_string(n(Outcome::Partial)) + ", \"failed\": " +
           std::to_string(n(Outcome::Failed)) + ", \"skipped\": " + std::to_string(n(Outcome::Skipped)) + "}";
}

std::string RecoveryReport::toJson(const std::string& state) const {
    std::string out = "{\n  \"summary\": " + summaryJson(state) + ",\n  \"files\": [";
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        out += entryJson(m_entries[i]);
    }
    out += "\n  ]\n}\n";
    return out;
}

}  // namespace qvx::recover

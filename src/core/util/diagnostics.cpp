#include "util/diagnostics.h"

namespace qvx::util {

namespace {

std::size_t slot(Problem kind) { return static_cast<std::size_t>(kind); }

std::string where(const ProblemSample& s, std::uint32_t sectorUnits) {
    std::string text;
    if (s.record != UINT64_MAX) text = "record " + std::to_string(s.record);
    if (s.lba != UINT64_MAX) text += (text.empty() ? "sector " : " at sector ") + std::to_string(s.lba / sectorUnits);
    if (!s.reason.empty()) text += (text.empty() ? "" : ": ") + s.reason;
    return text;
}

}  // namespace

void Diagnostics::add(Problem kind, std::uint64_t count, std::uint64_t record, std::uint64_t lba, std::string reason) {
    if (kind == Problem::Count || count == 0) return;
    std::lock_guard lock(m_mutex);
    m_counts[slot(kind)] += count;
    auto& kept = m_samples[slot(kind)];
    if (kept.size() < kSamplesKept) kept.push_back(ProblemSample{record, lba, std::move(reason)});
}

std::uint64_t Diagnostics::count(Problem kind) const {
    std::lock_guard lock(m_mutex);
    return kind == Problem::Count ? 0 : m_counts[slot(kind)];
}

std::vector<ProblemSample> Diagnostics::samples(Problem kind) const {
    std::lock_guard lock(m_mutex);
    return kind == Problem::Count ? std::vector<ProblemSample>{} : m_samples[slot(kind)];
}

bool Diagnostics::empty() const {
    std::lock_guard lock(m_mutex);
    for (std::uint64_t c : m_counts)
        if (c != 0) return false;
    return true;
}

void Diagnostics::clear() {
    std::lock_guard lock(m_mutex);
    m_counts.fill(0);
    for (auto& s : m_samples) s.clear();
}

void Diagnostics::merge(const Diagnostics& other) {
    if (&other == this) return;
    std::array<std::uint64_t, static_cast<std::size_t>(Problem::Count)> counts;
    std::array<std::vector<ProblemSample>, static_cast<std::size_t>(Problem::Count)> samples;
    {
        std::lock_guard lock(other.m_mutex);
        counts = other.m_counts;
        samples = other.m_samples;
    }
    std::lock_guard lock(m_mutex);
    for (std::size_t k = 0; k < counts.size(); ++k) {
        m_counts[k] += counts[k];
        for (auto& s : samples[k])
            if (m_samples[k].size() < kSamplesKept) m_samples[k].push_back(std::move(s));
    }
}

std::vector<std::string> Diagnostics::summaryLines(std::uint32_t sectorUnits) const {
    if (sectorUnits == 0) sectorUnits = 1;
    static constexpr const char* kWhat[] = {
        " sectors could not be read",
        " MFT records could not be read",
        " MFT records are torn (an update-sequence check failed)",
        " records are corrupt",
        " run lists are corrupt",
        " directory entries were skipped for a name that cannot be shown",
    };
    static constexpr const char* kWhatOne[] = {
        " sector could not be read",
        " MFT record could not be read",
        " MFT record is torn (an update-sequence check failed)",
        " record is corrupt",
        " run list is corrupt",
        " directory entry was skipped for a name that cannot be shown",
    };
    std::vector<std::string> lines;
    std::lock_guard lock(m_mutex);
    for (std::size_t k = 0; k < m_counts.size(); ++k) {
        if (m_counts[k] == 0) continue;
        // Unreadable 512-byte sectors are told as the disk's own sectors, a
        // partly unreadable one counting whole.
        const std::uint64_t count = k == slot(Problem::UnreadableSectors)
                                        ? (m_counts[k] + sectorUnits - 1) / sectorUnits
                                        : m_counts[k];
        std::string line = std::to_string(count) + (count == 1 ? kWhatOne[k] : kWhat[k]);
        if (!m_samples[k].empty()) {
            const std::string first = where(m_samples[k].front(), sectorUnits);
            if (!first.empty()) line += " (first: " + first + ")";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace qvx::util

#pragma once
// Terminal side of a job: one progress line on stderr (the percentage,
// done of total, the rate and the time left), Ctrl-C as a cooperative stop
// (a second Ctrl-C exits at once). The line is drawn only when stderr is a
// terminal, unless --progress asks for it anyway (then as plain lines, at
// most one every two seconds).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>

#include "util/progress.h"

namespace qvx::cli {

/// --progress: show the progress also when stderr is not a terminal.
void setProgressWanted(bool wanted);

class TerminalProgress : public util::ProgressSink {
public:
    explicit TerminalProgress(bool quiet);
    ~TerminalProgress() override;
    void setStatusText(const std::string& text) override;
    void setProgress(int percent, const std::string& text) override;
    void setCounter(const std::string& label, const std::string& value) override;
    void setAmount(std::uint64_t done, std::uint64_t total, const char* unit) override;
    void setHelpText(const std::string& text) override;
    void showMessage(const std::string& text, util::MessageKind kind) override;
    bool askYesNo(const std::string& text, bool defaultNo) override;
    /// Clears the progress line.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    void redraw(bool force);
    std::string line(Clock::time_point now) const;
    bool m_quiet;
    bool m_tty;
    bool m_show;
    std::mutex m_mutex;
    std::string m_status, m_counter;
    int m_percent = -1;
    // The stage's amount; a new total (or a falling percentage) starts a
    // new stage, whose rate is measured from its own start.
    std::uint64_t m_done = 0, m_total = 0;
    std::string m_unit;
    Clock::time_point m_stageStart = Clock::now();
    std::uint64_t m_stageFirstDone = 0;
    Clock::time_point m_lastDraw{};
    bool m_drawn = false;
    bool m_pending = false;  // a change not yet shown
    std::set<std::string> m_shownMessages;
};

/// status without a count "N / M" (or "N of M") whose N exceeds M.
std::string boundedStatus(const std::string& status);
/// "1.5 MiB" style size text.
std::string sizeText(std::uint64_t bytes);
/// "1:05" or "1:02:03".
std::string durationText(std::uint64_t seconds);

/// Installs the SIGINT and SIGTERM handlers for the life of the object;
/// token() is stopped on the first signal, the second exits with 130.
class InterruptStop {
public:
    InterruptStop();
    ~InterruptStop();
    std::stop_token token() const { return m_source.get_token(); }
    bool interrupted() const { return m_source.stop_requested(); }

private:
    std::stop_source m_source;
    std::jthread m_watcher;
};

}  // namespace qvx::cli

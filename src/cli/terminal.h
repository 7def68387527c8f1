#pragma once
// Terminal side of a job: one progress line on stderr, Ctrl-C as a
// cooperative stop (a second Ctrl-C exits at once).

#include <atomic>
#include <chrono>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "util/progress.h"

namespace qvx::cli {

class TerminalProgress : public util::ProgressSink {
public:
    explicit TerminalProgress(bool quiet);
    ~TerminalProgress() override;
    void setStatusText(const std::string& text) override;
    void setProgress(int percent, const std::string& text) override;
    void setCounter(const std::string& label, const std::string& value) override;
    void setHelpText(const std::string& text) override;
    void showMessage(const std::string& text, util::MessageKind kind) override;
    bool askYesNo(const std::string& text, bool defaultNo) override;
    /// Clears the progress line.
    void finish();

private:
    void redraw(bool force);
    bool m_quiet;
    bool m_tty;
    std::mutex m_mutex;
    std::string m_status, m_progressText, m_counter;
    int m_percent = -1;
    std::chrono::steady_clock::time_point m_lastDraw{};
    bool m_drawn = false;
};

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

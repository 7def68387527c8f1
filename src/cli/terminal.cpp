#include "cli/terminal.h"

#include "cli/text_escape.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

namespace qvx::cli {

namespace {
std::atomic<int> g_interrupts{0};

extern "C" void onInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) _exit(130);
}
}  // namespace

TerminalProgress::TerminalProgress(bool quiet) : m_quiet(quiet), m_tty(::isatty(STDERR_FILENO) != 0) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::setStatusText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_status = text;
    redraw(false);
}

void TerminalProgress::setProgress(int percent, const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_percent = percent;
    m_progressText = text;
    redraw(percent >= 100);
}

void TerminalProgress::setCounter(const std::string& label, const std::string& value) {
    std::lock_guard lock(m_mutex);
    m_counter = label + " " + value;
    redraw(false);
}

void TerminalProgress::setHelpText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_quiet) return;
    if (m_drawn) std::cerr << "\r\033[K";
    m_drawn = false;
    std::cerr << terminalSafe(text) << '\n';
}

void TerminalProgress::showMessage(const std::string& text, util::MessageKind kind) {
    std::lock_guard lock(m_mutex);
    if (m_drawn) std::cerr << "\r\033[K";
    m_drawn = false;
    std::cerr << (kind == util::MessageKind::Error ? "qvx: " : "") << terminalSafe(text) << '\n';
}

bool TerminalProgress::askYesNo(const std::string& text, bool defaultNo) {
    std::lock_guard lock(m_mutex);
    if (!m_quiet) std::cerr << text << (defaultNo ? " [no]" : " [yes]") << '\n';
    return !defaultNo;
}

void TerminalProgress::finish() {
    std::lock_guard lock(m_mutex);
    if (m_drawn) std::cerr << "\r\033[K" << std::flush;
    m_drawn = false;
}

void TerminalProgress::redraw(bool force) {
    if (m_quiet || !m_tty) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_lastDraw < std::chrono::milliseconds(250)) return;
    m_lastDraw = now;
    std::string line = terminalSafe(m_status);
    if (m_percent >= 0) line += "  " + m_progressText + std::to_string(m_percent) + "%";
    if (!m_counter.empty()) line += "  " + m_counter;
    if (line.size() > 110) line.resize(110);
    std::cerr << "\r\033[K" << line << std::flush;
    m_drawn = true;
}

InterruptStop::InterruptStop() {
    g_interrupts = 0;
    // SIGTERM (kill, a service manager, a closing terminal session) stops
    // the work the way Ctrl-C does, so the report is finished; a second
    // signal of either kind ends the process at once (exit code 130).
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A file larger than the destination allows (or than RLIMIT_FSIZE)
    // must fail its write with EFBIG, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    m_watcher = std::jthread([this](std::stop_token own) {
        while (!own.stop_requested()) {
            if (g_interrupts.load() > 0) {
                m_source.request_stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

InterruptStop::~InterruptStop() {
    m_watcher.request_stop();
    m_watcher.join();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

}  // namespace qvx::cli

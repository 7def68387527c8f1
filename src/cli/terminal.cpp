#include "cli/terminal.h"

#include "cli/text_escape.h"

#include <semaphore.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "partition/partition_search.h"

namespace qvx::cli {

namespace {
std::atomic<int> g_interrupts{0};
// Wakes the watcher thread: posted by the handler (sem_post may be called
// from one) and when the watcher is to end, so it never polls.
sem_t g_wake;

extern "C" void onInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) _exit(130);
    sem_post(&g_wake);
}
}  // namespace

namespace {
std::atomic<bool> g_progressWanted{false};
}  // namespace

void setProgressWanted(bool wanted) { g_progressWanted = wanted; }

std::string sizeText(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string durationText(std::uint64_t seconds) {
    char text[32];
    const auto h = static_cast<unsigned long long>(seconds / 3600);
    const auto m = static_cast<unsigned>((seconds / 60) % 60);
    const auto s = static_cast<unsigned>(seconds % 60);
    if (h > 0) std::snprintf(text, sizeof text, "%llu:%02u:%02u", h, m, s);
    else std::snprintf(text, sizeof text, "%u:%02u", m, s);
    return text;
}

TerminalProgress::TerminalProgress(bool quiet)
    : m_quiet(quiet), m_tty(::isatty(STDERR_FILENO) != 0), m_show(!quiet && (m_tty || g_progressWanted)) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::setStatusText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_status = text;
    redraw(false);
}

void TerminalProgress::setProgress(int percent, const std::string& /*text*/) {
    std::lock_guard lock(m_mutex);
    percent = std::clamp(percent, 0, 100);
    if (percent < m_percent) {  // a new pass
        m_stageStart = Clock::now();
        m_stageFirstDone = 0;
        m_total = 0;
    }
    m_percent = percent;
    redraw(false);
}

void TerminalProgress::setAmount(std::uint64_t done, std::uint64_t total, const char* unit) {
    std::lock_guard lock(m_mutex);
    done = std::min(done, total);
    if (total != m_total || unit != m_unit) {  // a new stage: the last one's counter is stale
        m_counter.clear();
        m_stageStart = Clock::now();
        m_stageFirstDone = done;
        m_total = total;
        m_unit = unit;
    }
    m_done = done;
    redraw(false);
}

void TerminalProgress::setCounter(const std::string& label, const std::string& value) {
    std::lock_guard lock(m_mutex);
    // The window's labels are padded with tabs and end in ":".
    std::string name;
    for (char c : label) {
        if (c == '\t' || c == ' ') {
            if (!name.empty() && name.back() != ' ') name += ' ';
        } else {
            name += c;
        }
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == ':')) name.pop_back();
    m_counter = value.empty() ? std::string() : name + ": " + value;
    redraw(false);
}

// The wizard's help texts tell a window user which button to press; the
// terminal has its own short lines for the few events worth a line, and
// says nothing for the rest.
void TerminalProgress::setHelpText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_quiet) return;
    std::string line;
    if (text == partition::kTableCorruptedHelp)
        line = "qvx: no usable partition table: searching the disk for partitions";
    if (line.empty()) return;
    if (m_drawn) std::cerr << "\r\033[K";
    m_drawn = false;
    std::cerr << line << '\n';
}

void TerminalProgress::showMessage(const std::string& text, util::MessageKind kind) {
    std::lock_guard lock(m_mutex);
    // The window may show the same verdict at two steps of one job (for
    // example when the boot sector fails and again when nothing was found);
    // a terminal says it once.
    if (!m_shownMessages.insert(text).second) return;
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
    // Plain lines (--progress without a terminal) end with the last state.
    if (m_show && !m_tty && m_pending) {
        std::cerr << "qvx: " << line(Clock::now()) << '\n';
        m_pending = false;
    }
}

/// The status text without a count "N / M" or "N of M" whose N exceeds
/// its M: some of the window's texts count against what is left, which a
/// terminal line must not show as done of total.
std::string boundedStatus(const std::string& status) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const std::size_t n = status.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!isDigit(status[i]) || (i > 0 && isDigit(status[i - 1]))) continue;
        std::size_t a = i;
        while (a < n && isDigit(status[a])) ++a;
        std::size_t sep = 0;
        if (status.compare(a, 3, " / ") == 0) sep = 3;
        else if (status.compare(a, 4, " of ") == 0) sep = 4;
        if (sep == 0 || a + sep >= n || !isDigit(status[a + sep])) continue;
        std::size_t b = a + sep;
        while (b < n && isDigit(status[b])) ++b;
        const std::string done = status.substr(i, a - i);
        const std::string total = status.substr(a + sep, b - a - sep);
        const bool exceeds = done.size() > total.size() || (done.size() == total.size() && done > total);
        if (!exceeds) return status;
        std::string out = status.substr(0, i);
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + status.substr(b);
    }
    return status;
}

std::string TerminalProgress::line(Clock::time_point now) const {
    std::string out;
    const double elapsed = std::chrono::duration<double>(now - m_stageStart).count();
    if (m_total > 0) {
        const bool bytes = m_unit == "bytes";
        const int percent = static_cast<int>(m_done * 100 / m_total);
        out = std::to_string(percent) + "%  ";
        out += bytes ? sizeText(m_done) + " of " + sizeText(m_total)
                     : std::to_string(m_done) + " of " + std::to_string(m_total) + " " + m_unit;
        const std::uint64_t progressed = m_done - std::min(m_done, m_stageFirstDone);
        if (elapsed >= 1.0 && progressed > 0) {
            const double rate = static_cast<double>(progressed) / elapsed;
            out += bytes ? ", " + sizeText(static_cast<std::uint64_t>(rate)) + "/s"
                         : ", " + std::to_string(static_cast<std::uint64_t>(rate)) + " " + m_unit + "/s";
            const double left = static_cast<double>(m_total - m_done) / rate;
            out += ", ETA " + durationText(static_cast<std::uint64_t>(left + 0.5));
        }
    } else if (m_percent >= 0) {
        out = std::to_string(m_percent) + "%";
        if (elapsed >= 1.0 && m_percent > 0 && m_percent < 100) {
            const double left = elapsed * (100 - m_percent) / m_percent;
            out += ", ETA " + durationText(static_cast<std::uint64_t>(left + 0.5));
        }
    }
    const std::string status = boundedStatus(m_status);
    if (!status.empty()) out += (out.empty() ? "" : "  ") + status;
    if (!m_counter.empty()) out += (out.empty() ? "" : "  ") + m_counter;
    return out;
}

void TerminalProgress::redraw(bool force) {
    if (!m_show) return;
    const auto now = Clock::now();
    const auto interval = m_tty ? std::chrono::milliseconds(250) : std::chrono::milliseconds(2000);
    m_pending = true;
    if (!force && m_lastDraw != Clock::time_point{} && now - m_lastDraw < interval) return;
    m_lastDraw = now;
    m_pending = false;
    std::string text = terminalSafe(line(now));
    if (!m_tty) {
        std::cerr << "qvx: " << text << '\n';
        return;
    }
    std::size_t width = 110;
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) width = ws.ws_col - 1u;
    if (text.size() > width) {
        while (width > 0 && (static_cast<unsigned char>(text[width]) & 0xC0) == 0x80) --width;  // whole UTF-8 characters
        text.resize(width);
    }
    std::cerr << "\r\033[K" << text << std::flush;
    m_drawn = true;
}

InterruptStop::InterruptStop() {
    g_interrupts = 0;
    sem_init(&g_wake, 0, 0);
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
            while (sem_wait(&g_wake) != 0 && errno == EINTR) {
            }
        }
    });
}

InterruptStop::~InterruptStop() {
    m_watcher.request_stop();
    sem_post(&g_wake);
    m_watcher.join();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sem_destroy(&g_wake);
}

}  // namespace qvx::cli

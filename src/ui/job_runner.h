#pragma once
// Runs one engine job at a time on a thread of its own. The job reports
// through a ProgressSink whose calls are carried to the window's thread:
// status, progress and counters are coalesced (only the latest values are
// delivered, at most one delivery pending), help texts and messages are
// queued in order. A stop is cooperative: the job polls its stop token and
// returns with what it found.

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "util/progress.h"

namespace qvx::ui {

/// The sink of one run; lives on the window's thread, is called from the job's.
class QueuedProgress : public QObject, public util::ProgressSink {
    Q_OBJECT
public:
    explicit QueuedProgress(QObject* parent = nullptr) : QObject(parent) {}

    void setStatusText(const std::string& text) override;
    void setProgress(int percent, const std::string& text) override;
    void setCounter(const std::string& label, const std::string& value) override;
    void setHelpText(const std::string& text) override;
    void showMessage(const std::string& text, util::MessageKind kind) override;

signals:
    void statusText(const QString& text);
    void progress(int percent, const QString& text);
    void counter(const QString& label, const QString& value);
    void helpText(const QString& text);
    void message(const QString& text, int kind);

private:
    void scheduleFlush();
    void flush();

    std::mutex m_mutex;
    bool m_statusDirty = false;
    std::string m_status;
    bool m_progressDirty = false;
    int m_percent = 0;
    std::string m_progressText;
    std::map<std::string, std::string> m_counters;  // changed since the last delivery
    std::atomic<bool> m_flushPending{false};
};

class JobRunner : public QObject {
    Q_OBJECT
public:
    using Work = std::function<void(std::stop_token, util::ProgressSink&)>;

    explicit JobRunner(QObject* parent = nullptr);
    ~JobRunner() override;

    /// Starts work on a new thread; false if a job is still running.
    bool start(Work work);
    bool running() const { return m_running; }
    /// Asks the job to stop; it ends with what it found and finished follows.
    void requestStop();
    bool stopRequested() const { return m_running && m_thread.get_stop_token().stop_requested(); }
    /// Stops the job and waits for it; nothing of it is delivered any more and
    /// finished is not emitted.
    void abandon();

signals:
    void statusText(const QString& text);
    void progress(int percent, const QString& text);
    void counter(const QString& label, const QString& value);
    void helpText(const QString& text);
    void message(const QString& text, int kind);
    void finished();

private:
    void onWorkerDone(QueuedProgress* sink);

    std::jthread m_thread;
    QueuedProgress* m_sink = nullptr;
    bool m_running = false;
};

/// Runs work on job and waits for it to end, the window painting but taking
/// no input meanwhile: for a read whose answer the caller needs before it
/// goes on (a partition table, a directory, the disks' descriptions), which
/// must still not run on this thread, as a failing disk may take long to
/// answer. False when job was busy and work did not run.
bool runAndWait(JobRunner& job, JobRunner::Work work);

}  // namespace qvx::ui

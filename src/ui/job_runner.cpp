#include "ui/job_runner.h"

#include <QEventLoop>
#include <QMetaObject>

namespace qvx::ui {

void QueuedProgress::setStatusText(const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        m_status = text;
        m_statusDirty = true;
    }
    scheduleFlush();
}

void QueuedProgress::setProgress(int percent, const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        m_percent = percent;
        m_progressText = text;
        m_progressDirty = true;
    }
    scheduleFlush();
}

void QueuedProgress::setCounter(const std::string& label, const std::string& value) {
    {
        std::lock_guard lock(m_mutex);
        m_counters[label] = value;
    }
    scheduleFlush();
}

void QueuedProgress::setHelpText(const std::string& text) {
    // Earlier status values go out first, so that the order is kept.
    QMetaObject::invokeMethod(
        this,
        [this, t = QString::fromStdString(text)] {
            flush();
            emit helpText(t);
        },
        Qt::QueuedConnection);
}

void QueuedProgress::showMessage(const std::string& text, util::MessageKind kind) {
    QMetaObject::invokeMethod(
        this,
        [this, t = QString::fromStdString(text), k = static_cast<int>(kind)] {
            flush();
            emit message(t, k);
        },
        Qt::QueuedConnection);
}

void QueuedProgress::scheduleFlush() {
    if (m_flushPending.exchange(true)) return;
    QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

void QueuedProgress::flush() {
    m_flushPending = false;
    bool statusDirty = false;
    bool progressDirty = false;
    std::string status;
    std::string progressText;
    int percent = 0;
    std::map<std::string, std::string> counters;
    {
        std::lock_guard lock(m_mutex);
        statusDirty = std::exchange(m_statusDirty, false);
        progressDirty = std::exchange(m_progressDirty, false);
        status = m_status;
        progressText = m_progressText;
        percent = m_percent;
        counters.swap(m_counters);
    }
    if (statusDirty) emit statusText(QString::fromStdString(status));
    if (progressDirty) emit progress(percent, QString::fromStdString(progressText));
    for (const auto& [label, value] : counters) emit counter(QString::fromStdString(label), QString::fromStdString(value));
}

JobRunner::JobRunner(QObject* parent) : QObject(parent) {}

JobRunner::~JobRunner() { abandon(); }

bool JobRunner::start(Work work) {
    if (m_running) return false;
    if (m_thread.joinable()) m_thread.join();
    auto* sink = new QueuedProgress(this);
    connect(sink, &QueuedProgress::statusText, this, &JobRunner::statusText);
    connect(sink, &QueuedProgress::progress, this, &JobRunner::progress);
    connect(sink, &QueuedProgress::counter, this, &JobRunner::counter);
    connect(sink, &QueuedProgress::helpText, this, &JobRunner::helpText);
    connect(sink, &QueuedProgress::message, this, &JobRunner::message);
    m_sink = sink;
    m_running = true;
    m_thread = std::jthread([work = std::move(work), sink, this](std::stop_token stop) {
        work(stop, *sink);
        // Queued behind every report of the job, so the window sees them first.
        QMetaObject::invokeMethod(sink, [this, sink] { onWorkerDone(sink); }, Qt::QueuedConnection);
    });
    return true;
}

void JobRunner::requestStop() {
    if (m_running) m_thread.request_stop();
}

void JobRunner::abandon() {
    if (m_sink) {
        m_sink->disconnect(this);
        // Pending deliveries die with the sink.
        m_sink->deleteLater();
        m_sink = nullptr;
    }
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
    m_running = false;
}

void JobRunner::onWorkerDone(QueuedProgress* sink) {
    if (sink != m_sink) return;  // an abandoned run
    if (m_thread.joinable()) m_thread.join();
    m_running = false;
    m_sink = nullptr;
    sink->deleteLater();
    emit finished();
}

bool runAndWait(JobRunner& job, JobRunner::Work work) {
    QEventLoop wait;
    const auto done = QObject::connect(&job, &JobRunner::finished, &wait, &QEventLoop::quit);
    const bool started = job.start(std::move(work));
    if (started) wait.exec(QEventLoop::ExcludeUserInputEvents);
    QObject::disconnect(done);
    return started;
}

}  // namespace qvx::ui

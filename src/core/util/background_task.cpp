#include "util/background_task.h"

#include <utility>

namespace qvx::util {

BackgroundTask::~BackgroundTask() {
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void BackgroundTask::start(std::function<void()> job) {
    if (!m_thread.joinable()) m_thread = std::thread([this] { run(); });
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_job = std::move(job);
        m_asked = true;
        m_done = false;
    }
    m_going = true;
    m_changed.notify_all();
}

void BackgroundTask::wait() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_done; });
    m_going = false;
    if (m_failure) std::rethrow_exception(std::exchange(m_failure, nullptr));
}

void BackgroundTask::run() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_asked || m_quit; });
        if (m_quit) return;
        m_asked = false;
        std::function<void()> job = std::move(m_job);
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        m_failure = failure;
        m_done = true;
        m_changed.notify_all();
    }
}

}  // namespace qvx::util

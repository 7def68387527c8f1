#pragma once
// One job at a time on a thread kept for as long as the task: the reads
// that run ahead of a walk or a scan (the next chunk read while this one is
// decoded). A thread made for each job cost more than the reads it overlapped.

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace qvx::util {

class BackgroundTask {
public:
    BackgroundTask() = default;
    /// Waits for a job still going (what it writes must outlive the task).
    ~BackgroundTask();
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    /// Starts job on the task's thread; none may be going.
    void start(std::function<void()> job);
    /// A job was started and not yet waited for.
    bool going() const { return m_going; }
    /// Waits for the job started, rethrowing what it threw.
    void wait();

private:
    void run();

    std::function<void()> m_job;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_asked = false;
    bool m_done = false;
    bool m_quit = false;
    bool m_going = false;  // the starting thread's only
    std::exception_ptr m_failure;
    std::thread m_thread;
};

}  // namespace qvx::util

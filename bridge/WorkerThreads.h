#pragma once
// The send and reply-phase threads of one channel. They are started by other
// worker threads and end on their own; teardown waits for them before the
// channel they use is freed.
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace varnock {

class WorkerThreads {
public:
    WorkerThreads() = default;
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs `body` on a new thread. Threads that have ended are joined here,
    // so the list stays short.
    void Start(std::function<void()> body);
    int Running() const { return m_nRunning.load(); }
    // Waits until every thread has ended or `timeout` has passed; `idle`
    // runs between the polls. True when none runs any more.
    bool WaitAll(std::chrono::milliseconds timeout, const std::function<void()>& idle = {});
    // Joins every thread.
    void JoinAll();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void ReapLocked();

    std::mutex m_lock;
    std::list<Worker> m_workers;
    std::atomic<int> m_nRunning{0};
};

}  // namespace varnock

#pragma once
// The send and reply-phase threads of one channel. They are started by other
// worker threads and end on their own; teardown waits for them before the
// channel they use is freed.
#include <atomic>
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
    // Joins every thread, also those that the joined ones started.
    void JoinAll();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    // With m_lock held.
    void ReapLocked();

    std::mutex m_lock;
    std::list<Worker> m_workers;
    std::atomic<int> m_nRunning{0};
};

}  // namespace varnock

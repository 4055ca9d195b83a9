#include "bridge/WorkerThreads.h"

namespace varnock {

WorkerThreads::~WorkerThreads() {
    JoinAll();
}

void WorkerThreads::ReapLocked() {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void WorkerThreads::Start(std::function<void()> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(m_lock);
    ReapLocked();
    m_nRunning.fetch_add(1);
    std::thread thread([this, body = std::move(body), done] {
        body();
        m_nRunning.fetch_sub(1);
        done->store(true);
    });
    m_workers.push_back(Worker{std::move(thread), done});
}

bool WorkerThreads::WaitAll(std::chrono::milliseconds timeout, const std::function<void()>& idle) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_nRunning.load() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (idle)
            idle();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void WorkerThreads::JoinAll() {
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        workers.swap(m_workers);
    }
    for (auto& w : workers) {
        if (w.thread.joinable()) w.thread.join();
    }
}

}  // namespace varnock

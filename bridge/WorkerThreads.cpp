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

void WorkerThreads::JoinAll() {
    for (;;) {
        std::list<Worker> workers;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            workers.swap(m_workers);
        }
        if (workers.empty()) return;
        for (auto& w : workers) {
            if (w.thread.joinable()) w.thread.join();
        }
    }
}

}  // namespace varnock

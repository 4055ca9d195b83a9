#include "platform/MessageLoop.h"

namespace varnock::platform {

MessageLoop& MessageLoop::Main() {
    static MessageLoop loop;
    return loop;
}

void MessageLoop::BindToCurrentThread() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_thread = std::this_thread::get_id();
}

bool MessageLoop::IsLoopThread() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_thread == std::this_thread::get_id();
}

void MessageLoop::Enqueue(std::function<void()> run) {
    std::function<void()> wakeup;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(std::make_shared<Item>(Item{std::move(run)}));
        wakeup = m_wakeup;
    }
    m_queued.notify_all();
    if (wakeup) wakeup();
}

intptr_t MessageLoop::Send(Handler handler) {
    if (IsLoopThread()) return handler();

    // Shared with the queued item, so a sender released by Shutdown leaves
    // nothing dangling behind.
    struct Call {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        intptr_t result = 0;
    };
    auto call = std::make_shared<Call>();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_shutdown) return 0;
    }
    Enqueue([call, handler = std::move(handler)] {
        intptr_t r = handler();
        std::lock_guard<std::mutex> lock(call->lock);
        call->result = r;
        call->finished = true;
        call->done.notify_all();
    });

    std::unique_lock<std::mutex> wait(call->lock);
    while (!call->finished) {
        call->done.wait_for(wait, std::chrono::milliseconds(50));
        if (call->finished) break;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_shutdown) return 0;
    }
    return call->result;
}

void MessageLoop::Post(std::function<void()> handler) {
    Enqueue(std::move(handler));
}

int MessageLoop::Pump(std::chrono::milliseconds timeout) {
    int ran = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_queue.empty() && timeout.count() > 0) {
        m_queued.wait_for(lock, timeout, [this] { return !m_queue.empty(); });
    }
    // Only what is queued now: handlers that queue more wait for the next pump.
    size_t n = m_queue.size();
    while (n-- > 0 && !m_queue.empty()) {
        auto item = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        item->run();
        ++ran;
        lock.lock();
    }
    return ran;
}

bool MessageLoop::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        Pump(std::min(left, std::chrono::milliseconds(5)));
    }
    return true;
}

void MessageLoop::SetWakeup(std::function<void()> wakeup) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_wakeup = std::move(wakeup);
}

void MessageLoop::Shutdown() {
    std::deque<std::shared_ptr<Item>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_shutdown = true;
        dropped.swap(m_queue);
    }
    m_queued.notify_all();
}

void MessageLoop::Restart() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_shutdown = false;
}

}  // namespace varnock::platform

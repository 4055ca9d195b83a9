#include "platform/MessageLoop.h"

#include <algorithm>

namespace varnock::platform {

namespace detail {

// One sender waiting for its handler. Shared with the queued item, so a
// sender released early by its token leaves nothing dangling behind.
struct PendingSend {
    // 0 waiting, 1 its handler has run and the result is on its way, 2
    // finished. An atomic wait: a mutex and a condition variable cost system
    // calls on every hand-over, of which a busy channel makes one per block
    // and per frame.
    std::atomic<int> state{0};
    intptr_t result = 0;

    // Its handler ran: from now on only Complete releases the sender.
    bool Claim() {
        int waiting = 0;
        return state.compare_exchange_strong(waiting, 1);
    }
    void Complete(intptr_t r) {
        result = r;
        state.store(2, std::memory_order_release);
        state.notify_all();
    }
    // Released with 0 unless its handler has run.
    void Release() {
        int waiting = 0;
        if (state.compare_exchange_strong(waiting, 2)) state.notify_all();
    }
    intptr_t Wait() {
        for (int now = state.load(std::memory_order_acquire); now != 2;
             now = state.load(std::memory_order_acquire)) {
            state.wait(now, std::memory_order_acquire);
        }
        return result;
    }
};

}  // namespace detail

void CancelToken::Cancel() {
    {
        // Waits for a handler running on another thread.
        std::lock_guard<std::recursive_mutex> running(m_running);
        m_cancelled = true;
    }
    std::vector<std::shared_ptr<detail::PendingSend>> waiters;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        waiters.swap(m_waiters);
    }
    for (auto& send : waiters) send->Release();
}

intptr_t CancelToken::Run(const std::function<intptr_t()>& handler, detail::PendingSend* send) {
    std::lock_guard<std::recursive_mutex> running(m_running);
    intptr_t result = m_cancelled ? 0 : handler();
    // Still under the lock: a Cancel waiting for it must not release the
    // sender with 0 once a handler did run.
    if (send) send->Claim();
    return result;
}

bool CancelToken::AddWaiter(const std::shared_ptr<detail::PendingSend>& send) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_cancelled) return false;
    m_waiters.push_back(send);
    return true;
}

void CancelToken::RemoveWaiter(const std::shared_ptr<detail::PendingSend>& send) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), send), m_waiters.end());
}

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
        m_queue.push_back(std::move(run));
        wakeup = m_wakeup;
    }
    m_queued.notify_all();
    m_arrived.Set();
    if (wakeup) wakeup();
}

intptr_t MessageLoop::Send(Handler handler, std::shared_ptr<CancelToken> token) {
    if (IsLoopThread()) return token ? token->Run(handler) : handler();

    auto send = std::make_shared<detail::PendingSend>();
    if (token && !token->AddWaiter(send)) return 0;
    Enqueue([this, send, token, handler = std::move(handler)] {
        intptr_t result = 0;
        if (token) {
            result = token->Run(handler, send.get());
        } else {
            result = handler();
            send->Claim();
        }
        // Its sender goes on once what the handler left for after itself has
        // run too (a port's flush): it then sees all its message did.
        if (send->state.load() != 1) return;
        if (!AfterCurrentItem([send, result] { send->Complete(result); })) send->Complete(result);
    });
    intptr_t result = send->Wait();
    if (token) token->RemoveWaiter(send);
    return result;
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
        std::function<void()> item = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        RunItem(item);
        ++ran;
        lock.lock();
    }
    return ran;
}

int MessageLoop::PumpOnClock(uint32_t ms) {
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        empty = m_queue.empty();
    }
    // A setting left from items that an earlier Pump ran only costs a look.
    if (empty) m_arrived.Wait(ms);
    return Pump();
}

namespace detail {
thread_local RunningItem t_runningItem;
}  // namespace detail

void MessageLoop::RunItem(const std::function<void()>& item) {
    m_after.emplace_back();
    struct Finish {
        MessageLoop& loop;
        detail::RunningItem outer;
        ~Finish() {
            detail::t_runningItem = outer;
            std::vector<std::function<void()>> after = std::move(loop.m_after.back());
            loop.m_after.pop_back();
            for (auto& run : after) run();
        }
    } finish{*this, detail::t_runningItem};
    detail::t_runningItem = {this, static_cast<int>(m_after.size())};
    item();
}

bool MessageLoop::AfterCurrentItem(std::function<void()> after) {
    if (ItemDepthHere() == 0) return false;
    m_after.back().push_back(std::move(after));
    return true;
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

}  // namespace varnock::platform

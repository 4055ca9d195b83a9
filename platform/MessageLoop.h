#pragma once
// The main thread's message loop. Worker threads hand work to the main
// thread with Send and block until the main thread has run it; the desktop
// program and the headless runner pump the loop, tests pump it themselves.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace varnock::platform {

namespace detail {
struct PendingSend;
// The item a thread runs, if any: its loop and how deeply it is nested.
struct RunningItem {
    const void* loop = nullptr;
    int depth = 0;
};
extern thread_local RunningItem t_runningItem;
}  // namespace detail

// Withdraws what an owner handed to the loop when the owner goes away.
// Once Cancel has returned, no handler sent with the token runs any more,
// senders still waiting have returned 0, and a handler of it that was
// running on another thread has finished; so nothing uses a sender's
// buffers after the sender gave up. Cancel from inside one of its handlers
// lets that handler go on.
class CancelToken {
public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void Cancel();
    bool IsCancelled() const { return m_cancelled.load(); }

private:
    friend class MessageLoop;
    // Runs `handler` unless cancelled; 0 when cancelled. Claims `send`, when
    // given, before a Cancel can release it with 0.
    intptr_t Run(const std::function<intptr_t()>& handler, detail::PendingSend* send = nullptr);
    // False when already cancelled.
    bool AddWaiter(const std::shared_ptr<detail::PendingSend>& send);
    void RemoveWaiter(const std::shared_ptr<detail::PendingSend>& send);

    // Held while one of its handlers runs; recursive because a handler may
    // pump the loop and so run further handlers of the same owner.
    std::recursive_mutex m_running;
    std::atomic<bool> m_cancelled{false};
    std::mutex m_lock;  // guards m_waiters
    std::vector<std::shared_ptr<detail::PendingSend>> m_waiters;
};

class MessageLoop {
public:
    using Handler = std::function<intptr_t()>;

    // The process's main loop. Bound to the thread that first calls
    // BindToCurrentThread (the main thread).
    static MessageLoop& Main();

    MessageLoop() = default;
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // Makes the calling thread the one that runs handlers.
    void BindToCurrentThread();
    bool IsLoopThread() const;

    // Runs `handler` on the loop thread and returns its result. From the loop
    // thread itself it runs at once. Blocks the caller until it has run; when
    // `token` is cancelled first, it does not run and the result is 0.
    intptr_t Send(Handler handler, std::shared_ptr<CancelToken> token = nullptr);

    // Queues `handler` without waiting.
    void Post(std::function<void()> handler);

    // On the loop thread: runs what is queued. Waits up to `timeout` for the
    // first item when nothing is queued. Returns the number of items run.
    int Pump(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    // As Pump, but the wait for the first item runs on the process clock:
    // up to `ms` of it, or until an item comes (WakeSignal::kForever).
    int PumpOnClock(uint32_t ms);

    // On the loop thread while it runs a queued item: `after` runs as soon as
    // that item has finished, before the next one. False anywhere else
    // (`after` is then dropped).
    bool AfterCurrentItem(std::function<void()> after);
    // How deeply the items that the calling thread runs for this loop are
    // nested (1: an item run by the outermost Pump); 0 when it runs none.
    // Cheap enough to ask for every byte.
    int ItemDepthHere() const { return detail::t_runningItem.loop == this ? detail::t_runningItem.depth : 0; }

    // On the loop thread: pumps until `done` is true or `timeout` has passed.
    // Returns the last value of `done`.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Called (from any thread) whenever an item is queued, so that a GUI event
    // loop can schedule a Pump on the loop thread.
    void SetWakeup(std::function<void()> wakeup);

private:
    void Enqueue(std::function<void()> run);
    void RunItem(const std::function<void()>& item);

    mutable std::mutex m_lock;
    std::condition_variable m_queued;
    std::deque<std::function<void()>> m_queue;
    // Set whenever an item is queued, for PumpOnClock.
    WakeSignal m_arrived;
    std::thread::id m_thread{};
    std::function<void()> m_wakeup;
    // Per item being run (items nest when a handler pumps), what runs after
    // it. The loop thread's alone.
    std::vector<std::vector<std::function<void()>>> m_after;
};

}  // namespace varnock::platform

#pragma once
// The main thread's message loop. Worker threads hand work to the main
// thread with Send and block until the main thread has run it; the desktop
// program and the headless runner pump the loop, tests pump it themselves.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace varnock::platform {

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
    // the loop is shut down it does not run and the result is 0.
    intptr_t Send(Handler handler);

    // Queues `handler` without waiting.
    void Post(std::function<void()> handler);

    // On the loop thread: runs what is queued. Waits up to `timeout` for the
    // first item when nothing is queued. Returns the number of items run.
    int Pump(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

    // On the loop thread: pumps until `done` is true or `timeout` has passed.
    // Returns the last value of `done`.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Called (from any thread) whenever an item is queued, so that a GUI event
    // loop can schedule a Pump on the loop thread.
    void SetWakeup(std::function<void()> wakeup);

    // Refuses further sends (they return 0) and releases waiting senders.
    void Shutdown();
    // Accepts sends again (tests that reuse the process loop).
    void Restart();

private:
    struct Item {
        std::function<void()> run;
    };
    void Enqueue(std::function<void()> run);

    mutable std::mutex m_lock;
    std::condition_variable m_queued;
    std::deque<std::shared_ptr<Item>> m_queue;
    std::thread::id m_thread{};
    bool m_shutdown = false;
    std::function<void()> m_wakeup;
};

}  // namespace varnock::platform

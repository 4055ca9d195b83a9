#pragma once
// The process clock: tick count and sleep. Code that waits or measures time
// goes through here so tests can run minutes of protocol time in seconds.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace varnock::platform {

// Ends the sleeps of an owner that goes away: once set, every sleep on it
// returns at once, and so does every later one.
class StopEvent {
public:
    StopEvent() = default;
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    void Set();
    bool IsSet() const { return m_set.load(); }
    // Waits up to `real` of real time; true when set.
    bool WaitFor(std::chrono::microseconds real);

private:
    std::atomic<bool> m_set{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
};

// Wakes a thread that sleeps until it has work: whoever makes the work sets
// it, the waiter takes it. The waiter's time limit runs on the process
// clock, so that a driven clock decides when it is up.
class WakeSignal {
public:
    // No time limit.
    static constexpr uint32_t kForever = UINT32_MAX;

    WakeSignal() = default;
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Wakes the waiter; with none waiting, the next wait returns at once.
    void Set();
    // Waits until set or `ms` of the process clock have passed, and takes
    // the setting. True when it was set.
    bool Wait(uint32_t ms);

    // For the clocks. Waits up to `real` of real time; true when set.
    bool WaitReal(std::chrono::microseconds real);
    // Waits until set or `pending` is false; `pending` is looked at again
    // after each Notify. True when set.
    bool WaitWhile(const std::function<bool()>& pending);
    void Notify();

private:
    bool Take();  // under m_lock

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set = false;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like GetTickCount.
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Sleeps as Sleep does but ends once `stop` is set; true when it is.
    virtual bool Sleep(uint32_t ms, StopEvent& stop) = 0;
    // WakeSignal::Wait on this clock.
    virtual bool Wait(WakeSignal& wake, uint32_t ms) = 0;
};

// Real time.
class SystemClock : public Clock {
public:
    uint32_t TickCount() override;
    void Sleep(uint32_t ms) override;
    bool Sleep(uint32_t ms, StopEvent& stop) override;
    bool Wait(WakeSignal& wake, uint32_t ms) override;
};

// Real time, sped up: each real millisecond counts as `factor` milliseconds.
// Worker threads keep their real interleaving, only the waits shrink.
class ScaledClock : public Clock {
public:
    explicit ScaledClock(uint32_t factor, uint32_t start = 0);
    uint32_t TickCount() override;
    void Sleep(uint32_t ms) override;
    bool Sleep(uint32_t ms, StopEvent& stop) override;
    bool Wait(WakeSignal& wake, uint32_t ms) override;

private:
    uint32_t m_factor;
    uint32_t m_start;
    int64_t m_originUs;
};

// Time that moves only when told to, or by the sleeps of its users. A
// thread waiting on a WakeSignal sleeps until it is set or the time moved
// past its limit. For logic tests.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint32_t start = 0) : m_now(start) {}
    uint32_t TickCount() override { return m_now.load(); }
    void Sleep(uint32_t ms) override;
    bool Sleep(uint32_t ms, StopEvent& stop) override;
    bool Wait(WakeSignal& wake, uint32_t ms) override;
    void Advance(uint32_t ms);
    void Set(uint32_t now);
    uint64_t TotalSlept() const { return m_slept.load(); }
    // Threads now in a wait with a time limit.
    int TimedWaiters() const;

private:
    // Waiters look at the time again.
    void Moved();

    std::atomic<uint32_t> m_now;
    std::atomic<uint64_t> m_slept{0};
    mutable std::mutex m_waitersLock;
    std::vector<WakeSignal*> m_waiters;
    int m_timedWaiters = 0;  // under m_waitersLock
};

// The clock in force for the process (the system clock unless replaced).
Clock& CurrentClock();
// Replaces the clock in force; nullptr restores the system clock.
// The caller keeps ownership and must outlive every user.
void SetClock(Clock* clock);

inline uint32_t GetTickCount() {
    return CurrentClock().TickCount();
}
inline void Sleep(uint32_t ms) {
    CurrentClock().Sleep(ms);
}
// True when `stop` ended the sleep (or was set before).
inline bool Sleep(uint32_t ms, StopEvent& stop) {
    return CurrentClock().Sleep(ms, stop);
}

// Installs a clock for the life of a scope (tests).
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace varnock::platform

#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace varnock::platform {
namespace {

int64_t MonotonicUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

SystemClock g_systemClock;
std::atomic<Clock*> g_clock{nullptr};

}  // namespace

void StopEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_set = true;
    }
    m_changed.notify_all();
}

bool StopEvent::WaitFor(std::chrono::microseconds real) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, real, [this] { return m_set.load(); });
}

void WakeSignal::Set() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_set = true;
    }
    m_changed.notify_all();
}

bool WakeSignal::Wait(uint32_t ms) {
    return CurrentClock().Wait(*this, ms);
}

bool WakeSignal::Take() {
    const bool set = m_set;
    m_set = false;
    return set;
}

bool WakeSignal::WaitReal(std::chrono::microseconds real) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, real, [this] { return m_set; });
    return Take();
}

bool WakeSignal::WaitWhile(const std::function<bool()>& pending) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [&] { return m_set || !pending(); });
    return Take();
}

void WakeSignal::Notify() {
    // Taken, so that a waiter between its look at the time and its sleep
    // cannot miss this.
    { std::lock_guard<std::mutex> lock(m_lock); }
    m_changed.notify_all();
}

uint32_t SystemClock::TickCount() {
    return static_cast<uint32_t>(MonotonicUs() / 1000);
}

void SystemClock::Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SystemClock::Sleep(uint32_t ms, StopEvent& stop) {
    return stop.WaitFor(std::chrono::milliseconds(ms));
}

namespace {

// Waits for the real time that counts as `ms` at `factor` ms per real ms,
// rounded up: a waiter woken early would only wait again.
bool WaitScaled(WakeSignal& wake, uint32_t ms, uint32_t factor) {
    if (ms == WakeSignal::kForever) return wake.WaitWhile([] { return true; });
    return wake.WaitReal(std::chrono::microseconds((int64_t(ms) * 1000 + factor - 1) / factor));
}

}  // namespace

bool SystemClock::Wait(WakeSignal& wake, uint32_t ms) {
    return WaitScaled(wake, ms, 1);
}

ScaledClock::ScaledClock(uint32_t factor, uint32_t start)
    : m_factor(factor == 0 ? 1 : factor), m_start(start), m_originUs(MonotonicUs()) {}

uint32_t ScaledClock::TickCount() {
    int64_t elapsedUs = MonotonicUs() - m_originUs;
    return m_start + static_cast<uint32_t>(elapsedUs * m_factor / 1000);
}

void ScaledClock::Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(int64_t(ms) * 1000 / m_factor));
}

bool ScaledClock::Sleep(uint32_t ms, StopEvent& stop) {
    return stop.WaitFor(std::chrono::microseconds(int64_t(ms) * 1000 / m_factor));
}

bool ScaledClock::Wait(WakeSignal& wake, uint32_t ms) {
    return WaitScaled(wake, ms, m_factor);
}

void ManualClock::Sleep(uint32_t ms) {
    m_slept.fetch_add(ms);
    Advance(ms);
    // Let other threads run; a sleep of zero must still yield.
    std::this_thread::yield();
}

void ManualClock::Advance(uint32_t ms) {
    m_now.fetch_add(ms);
    Moved();
}

void ManualClock::Set(uint32_t now) {
    m_now.store(now);
    Moved();
}

void ManualClock::Moved() {
    std::lock_guard<std::mutex> lock(m_waitersLock);
    for (WakeSignal* wake : m_waiters) wake->Notify();
}

int ManualClock::TimedWaiters() const {
    std::lock_guard<std::mutex> lock(m_waitersLock);
    return m_timedWaiters;
}

bool ManualClock::Wait(WakeSignal& wake, uint32_t ms) {
    const bool timed = ms != WakeSignal::kForever;
    const uint32_t start = m_now.load();
    {
        std::lock_guard<std::mutex> lock(m_waitersLock);
        m_waiters.push_back(&wake);
        if (timed) ++m_timedWaiters;
    }
    const bool set = wake.WaitWhile([&] { return !timed || m_now.load() - start < ms; });
    std::lock_guard<std::mutex> lock(m_waitersLock);
    m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), &wake));
    if (timed) --m_timedWaiters;
    return set;
}

bool ManualClock::Sleep(uint32_t ms, StopEvent& stop) {
    if (stop.IsSet()) return true;
    Sleep(ms);
    return stop.IsSet();
}

Clock& CurrentClock() {
    Clock* c = g_clock.load(std::memory_order_acquire);
    return c ? *c : g_systemClock;
}

void SetClock(Clock* clock) {
    g_clock.store(clock, std::memory_order_release);
}

}  // namespace varnock::platform

#include "platform/Clock.h"

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

uint32_t SystemClock::TickCount() {
    return static_cast<uint32_t>(MonotonicUs() / 1000);
}

void SystemClock::Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SystemClock::Sleep(uint32_t ms, StopEvent& stop) {
    return stop.WaitFor(std::chrono::milliseconds(ms));
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

void ManualClock::Sleep(uint32_t ms) {
    m_slept.fetch_add(ms);
    m_now.fetch_add(ms);
    // Let other threads run; a sleep of zero must still yield.
    std::this_thread::yield();
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

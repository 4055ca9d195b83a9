#pragma once
// The bytes on their way to the host of one pty port. Write only appends
// them; they reach the pty in large writes, in order: right after the main
// thread's message that wrote them, else (written on another thread, or the
// host's input full) from the port's passes (WriteWaiting). Within a message of the main
// thread's loop they are staged without a lock, as the driver's WriteBytes is
// called once per byte.
//
// Sessions: a session starts when a pass of the port finds the slave open
// with none under way, before it announces the host's data, and ends when a
// flush or a pass finds the slave closed; the pass also readies the pty for
// the next session. Both happen under the
// queue's lock after a look at the slave, and each drops what waits. Between
// them (absent) nothing is taken, and bytes staged in one session are not
// queued in another. So nothing a closed session did not read reaches the
// next one, also what is given after the close.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Pty.h"

namespace varnock {

// Lives in a shared_ptr: the flushes queued on the main thread's loop hold
// it weakly and may outlive the driver.
class PtyOutputQueue : public std::enable_shared_from_this<PtyOutputQueue> {
public:
    // What may wait for the host: several of the largest frames' payloads.
    static constexpr int32_t kCap = 256 * 1024;
    // How long a write may wait for room once that much waits, and how long
    // all the waits of one frame (a loop message's writes) may take together:
    // a host that reads, but slowly, must not hold the main thread.
    static constexpr int kWriteWaitMs = 50;
    static constexpr int kFrameWaitMs = 200;

    explicit PtyOutputQueue(platform::MessageLoop& loop) : m_loop(loop) {}
    PtyOutputQueue(const PtyOutputQueue&) = delete;
    PtyOutputQueue& operator=(const PtyOutputQueue&) = delete;

    // Takes what fits of the bytes for the session under way; the count
    // taken. Nothing while no session is under way. With kCap bytes queued,
    // waits for room as said above, then drops what does not fit until the
    // host takes some.
    int32_t Write(const uint8_t* bytes, int32_t count);
    // Room left under the cap, and the bytes written to the pty so far.
    int32_t Room() const;
    uint64_t Taken() const { return m_taken.load(); }
    bool Absent() const { return m_absent.load(); }

    // The port goes in service on `pty` / out of it; no session is under way
    // after either. `wakeWriter` asks for WriteWaiting soon; it is called
    // with the queue's lock held.
    void Attach(platform::Pty* pty, std::function<void()> wakeWriter);
    void Detach();
    // With the slave open and no session under way, one starts.
    void StartSession(platform::Pty& pty);
    // Runs `step` with the queue's lock held, so that no write to the pty is
    // under way while it looks at the pty or readies it.
    template <class Step>
    auto Hold(Step&& step) {
        std::lock_guard<std::mutex> lock(m_lock);
        return step();
    }
    // Only inside Hold: the host's session ends, what waits is dropped and
    // nothing is taken until the next one.
    void EndSessionLocked();
    // Moves what the pty takes. True when bytes are left: room in the
    // host's input is to be waited for, then it is called again.
    bool WriteWaiting();

private:
    // The steps below want m_lock held.
    // Writes what the pty takes. True when bytes are left.
    bool FlushLocked();
    // What waits is dropped; bytes staged before are not for after.
    void DropLocked();
    // Moves the staged bytes to the queue.
    void TakeStagedLocked();
    // Queues with the lock: off the loop, or when the queue is full. Takes
    // m_lock itself.
    int32_t Queue(const uint8_t* bytes, int32_t count);
    // From the main thread's loop, after the message that queued bytes.
    void Flush();
    void WakeWriterLocked();
    // Has Flush run after the loop's current message.
    bool FlushAfterMessage();

    platform::MessageLoop& m_loop;
    std::mutex m_lock;
    std::condition_variable m_room;  // the queue shrank
    platform::Pty* m_pty = nullptr;  // none while not in service
    std::vector<uint8_t> m_bytes;
    size_t m_head = 0;                   // bytes before it are written
    bool m_flushDue = false;             // a flush is on its way
    bool m_backlog = false;              // the host's input is full: WriteWaiting waits for room
    bool m_stalled = false;              // the host took nothing within a write's wait
    std::atomic<bool> m_absent{true};    // no session under way
    std::atomic<uint64_t> m_session{0};  // counts the starts and ends
    // Read without the lock (once per frame, by the reply phase).
    std::atomic<int64_t> m_queued{0};  // m_bytes.size() - m_head
    std::atomic<uint64_t> m_taken{0};  // written to the pty so far
    std::function<void()> m_wakeWriter;
    // The loop thread's alone: bytes of the message under way, and how
    // deeply that message is nested; moved to m_bytes when it ends.
    std::vector<uint8_t> m_staged;
    int m_stagedDepth = 0;
    uint64_t m_stagedSession = 0;
    // What the message under way may still wait for room, and whether its
    // end gives the budget back.
    std::chrono::steady_clock::duration m_frameWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
    bool m_frameWaitArmed = false;
};

}  // namespace varnock

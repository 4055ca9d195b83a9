#include "vport/PtyOutputQueue.h"

#include <algorithm>

namespace varnock {

int32_t PtyOutputQueue::Write(const uint8_t* bytes, int32_t count) {
    if (count == 0 || m_absent.load(std::memory_order_relaxed)) return 0;
    const int depth = m_loop.ItemDepthHere();
    // A full queue takes the bytes itself; a flush for each of them after
    // the message would cost a call per byte.
    const bool fits =
        m_queued.load(std::memory_order_relaxed) + static_cast<int64_t>(m_staged.size()) + count <= kCap;
    const bool staging =
        fits && depth > 0 && (m_staged.empty() ? FlushAfterMessage() : m_stagedDepth == depth);
    if (!staging) return Queue(bytes, count);
    if (m_staged.empty()) m_stagedSession = m_session.load();
    m_stagedDepth = depth;
    if (count == 1)
        m_staged.push_back(*bytes);
    else
        m_staged.insert(m_staged.end(), bytes, bytes + count);
    return count;
}

bool PtyOutputQueue::FlushAfterMessage() {
    std::weak_ptr<PtyOutputQueue> weak = weak_from_this();
    return m_loop.AfterCurrentItem([weak] {
        if (auto queue = weak.lock()) queue->Flush();
    });
}

int32_t PtyOutputQueue::Queue(const uint8_t* bytes, int32_t count) {
    const bool onLoop = m_loop.ItemDepthHere() > 0;
    std::unique_lock<std::mutex> lock(m_lock);
    // Staged bytes go first.
    if (onLoop) TakeStagedLocked();
    if (!m_pty || m_absent) return 0;
    const uint64_t session = m_session;
    // Off the loop, a call is a frame; on it, the message: its budget is
    // whole again once it has ended.
    std::chrono::steady_clock::duration callWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
    auto& waitLeft = onLoop ? m_frameWaitLeft : callWaitLeft;
    if (onLoop && !m_frameWaitArmed) {
        std::weak_ptr<PtyOutputQueue> weak = weak_from_this();
        m_frameWaitArmed = m_loop.AfterCurrentItem([weak] {
            if (auto queue = weak.lock()) {
                std::lock_guard<std::mutex> relock(queue->m_lock);
                queue->m_frameWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
                queue->m_frameWaitArmed = false;
            }
        });
    }
    size_t taken = 0;
    while (taken < static_cast<size_t>(count)) {
        const size_t queued = m_bytes.size() - m_head;
        if (queued >= static_cast<size_t>(kCap)) {
            // A host that has stopped reading costs one wait, not one per
            // byte; one that reads slowly, the frame's waits together.
            if (m_stalled || waitLeft <= waitLeft.zero()) break;
            if (!m_backlog) {
                m_backlog = true;
                WakeWriterLocked();
            }
            const auto start = std::chrono::steady_clock::now();
            const bool room = m_room.wait_for(
                lock,
                std::min<std::chrono::steady_clock::duration>(waitLeft,
                                                              std::chrono::milliseconds(kWriteWaitMs)),
                [&] { return !m_pty || m_bytes.size() - m_head < static_cast<size_t>(kCap); });
            waitLeft -= std::min(waitLeft, std::chrono::steady_clock::now() - start);
            // A host that closed meanwhile is given nothing more.
            if (!m_pty || m_absent || m_session != session) break;
            m_stalled = !room;
            continue;
        }
        const size_t n = std::min(static_cast<size_t>(count) - taken, kCap - queued);
        m_bytes.insert(m_bytes.end(), bytes + taken, bytes + taken + n);
        taken += n;
    }
    m_queued = static_cast<int64_t>(m_bytes.size() - m_head);
    // A backlog is the writer's; otherwise a flush is asked for once.
    const bool ask = m_queued > 0 && !m_flushDue && !m_backlog;
    if (ask) m_flushDue = true;
    lock.unlock();
    if (ask && !(onLoop && FlushAfterMessage())) {
        std::lock_guard<std::mutex> relock(m_lock);
        WakeWriterLocked();
    }
    return static_cast<int32_t>(taken);
}

int32_t PtyOutputQueue::Room() const {
    const int64_t queued = m_queued.load();
    return queued < kCap ? kCap - static_cast<int32_t>(queued) : 0;
}

void PtyOutputQueue::Attach(platform::Pty* pty, std::function<void()> wakeWriter) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pty = pty;
    m_wakeWriter = std::move(wakeWriter);
}

void PtyOutputQueue::Detach() {
    std::lock_guard<std::mutex> lock(m_lock);
    EndSessionLocked();
    m_pty = nullptr;
    m_wakeWriter = nullptr;
    m_backlog = false;
    m_flushDue = false;
}

void PtyOutputQueue::DropLocked() {
    ++m_session;
    m_bytes.clear();
    // A long backlog's room goes back.
    if (m_bytes.capacity() > 64 * 1024) m_bytes.shrink_to_fit();
    m_head = 0;
    m_queued = 0;
    m_stalled = false;
    m_room.notify_all();
}

void PtyOutputQueue::EndSessionLocked() {
    DropLocked();
    m_absent = true;
}

void PtyOutputQueue::StartSession(platform::Pty& pty) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_absent || !pty.SlaveOpen()) return;
    DropLocked();
    m_absent = false;
}

bool PtyOutputQueue::FlushLocked() {
    m_flushDue = false;
    if (m_head == m_bytes.size()) return false;
    if (!m_pty || m_absent) {
        DropLocked();
        return false;
    }
    const uint8_t* from = m_bytes.data() + m_head;
    const int queued = static_cast<int>(m_bytes.size() - m_head);
    // The host that was to read them has gone.
    const int n = m_pty->SlaveOpen() ? m_pty->Write(from, queued, 0) : -1;
    if (n < 0) {
        EndSessionLocked();
        return false;
    }
    if (n == 0) return true;
    m_head += static_cast<size_t>(n);
    m_queued -= n;
    m_taken += static_cast<uint64_t>(n);
    m_stalled = false;
    m_room.notify_all();
    if (m_head == m_bytes.size()) {
        m_bytes.clear();
        m_head = 0;
        return false;
    }
    // What was written goes once it is a good part of the queue.
    if (m_head >= m_bytes.size() / 2) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<long>(m_head));
        m_head = 0;
    }
    return true;
}

void PtyOutputQueue::TakeStagedLocked() {
    // Staged for a session that has ended since, or for a port out of service.
    if (m_pty && !m_absent && m_stagedSession == m_session)
        m_bytes.insert(m_bytes.end(), m_staged.begin(), m_staged.end());
    m_staged.clear();
    m_queued = static_cast<int64_t>(m_bytes.size() - m_head);
}

void PtyOutputQueue::Flush() {
    std::lock_guard<std::mutex> lock(m_lock);
    TakeStagedLocked();
    if (FlushLocked() && !m_backlog) {
        m_backlog = true;
        WakeWriterLocked();
    }
}

bool PtyOutputQueue::WriteWaiting() {
    std::lock_guard<std::mutex> lock(m_lock);
    // Hang-up also ends the wait for room: the next flush drops the bytes.
    m_backlog = FlushLocked();
    return m_backlog;
}

void PtyOutputQueue::WakeWriterLocked() {
    if (m_wakeWriter) m_wakeWriter();
}

}  // namespace varnock

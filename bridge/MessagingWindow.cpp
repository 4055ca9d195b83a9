#include "bridge/MessagingWindow.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "bridge/BridgeChannel.h"
#include "platform/MessageLoop.h"

namespace varnock {

struct MessagingWindow::Core {
    // Held while a handler runs; recursive because a handler may pump the
    // loop and so run further handlers of the same window.
    std::recursive_mutex lock;
    std::atomic<bool> alive{true};
    BridgeChannel* owner = nullptr;
};

namespace {

// One pending send from a worker thread.
struct Call {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    LRESULT result = 0;

    void Finish(LRESULT r) {
        std::lock_guard<std::mutex> guard(lock);
        if (finished) return;
        result = r;
        finished = true;
        done.notify_all();
    }
};

// Completes the call with 0 if the queued item is dropped unrun (loop shut down).
struct DropGuard {
    explicit DropGuard(std::shared_ptr<Call> c) : call(std::move(c)) {}
    DropGuard(const DropGuard&) = delete;
    DropGuard& operator=(const DropGuard&) = delete;
    ~DropGuard() { call->Finish(0); }
    std::shared_ptr<Call> call;
};

}  // namespace

MessagingWindow::~MessagingWindow() {
    Destroy();
}

bool MessagingWindow::Create(BridgeChannel* owner) {
    if (m_core) return false;
    m_core = std::make_shared<Core>();
    m_core->owner = owner;
    return true;
}

void MessagingWindow::Destroy() {
    if (!m_core) return;
    // The core itself stays until the window object goes: senders on other
    // threads may still be looking at it.
    std::lock_guard<std::recursive_mutex> guard(m_core->lock);
    m_core->alive = false;
}

bool MessagingWindow::IsCreated() const {
    return m_core && m_core->alive;
}

LRESULT MessagingWindow::RunOnCore(Core& core, unsigned message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::recursive_mutex> guard(core.lock);
    if (!core.alive || !core.owner) return 0;
    return Dispatch(*core.owner, message, wParam, lParam);
}

LRESULT MessagingWindow::SendMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<Core> core = m_core;
    if (!core || !core->alive) return 0;
    auto& loop = platform::MessageLoop::Main();
    if (loop.IsLoopThread()) return RunOnCore(*core, message, wParam, lParam);

    auto call = std::make_shared<Call>();
    auto guard = std::make_shared<DropGuard>(call);
    loop.Post([core, call, guard, message, wParam, lParam] {
        call->Finish(RunOnCore(*core, message, wParam, lParam));
    });
    guard.reset();

    std::unique_lock<std::mutex> wait(call->lock);
    while (!call->finished) {
        call->done.wait_for(wait, std::chrono::milliseconds(20));
        // alive turns false only while no handler of this window runs, and a
        // handler queued later sees it, so giving up here leaves nothing
        // that still uses the caller's buffers.
        if (!call->finished && !core->alive) return 0;
    }
    return call->result;
}

LRESULT MessagingWindow::Dispatch(BridgeChannel& channel, unsigned message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CHANNEL_CONNECT:
            return channel.ConnectChannel();
        case WM_CHANNEL_DISCONNECT:
            return channel.DisconnectChannel();
        case WM_CHANNEL_SEND_LDR_DATA:
            return channel.SendLDRData(reinterpret_cast<ByteArray*>(lParam));
        case WM_CHANNEL_QUEUE_LDR_DATA:
            channel.QueueLDRData(static_cast<int>(wParam), reinterpret_cast<const char*>(lParam));
            return 0;
        case WM_CHANNEL_SYNC_COMM_PARAMS:
            return channel.SendCommParams(static_cast<int>(wParam));
        case WM_CHANNEL_PROBE:
            return channel.SendProbe();
        case WM_CHANNEL_CLOSE_LINK:
            channel.CloseLink();
            return 0;
        case WM_CHANNEL_DELIVER_PLC_FRAME:
            return channel.DeliverPLCFrame(reinterpret_cast<ByteArray*>(lParam));
        case WM_CHANNEL_READ_LINK:
            return channel.ReadLink(reinterpret_cast<ReadLinkRequest*>(lParam));
        case WM_CHANNEL_SET_MAIN_WINDOW:
            channel.SetMainWindowLink(reinterpret_cast<MainWindowLink*>(lParam));
            return 0;
        default:
            return 0;
    }
}

}  // namespace varnock

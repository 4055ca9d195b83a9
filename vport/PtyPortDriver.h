#pragma once
// Our virtual serial port driver: each port is a pseudo-terminal whose slave
// appears in the device directory as DIR/NAME, a symbolic link. One event
// thread per port in service watches the pty and raises the driver events.
//
// A name is held by a live binding while its lock file DIR/.NAME.lock is
// locked. A link into /dev/pts with that lock file beside it and nobody
// holding the lock was left by a process that died: it is stale and may be
// taken over. Anything else at the name (a file, a link without our lock
// file such as a user's socat, a live binding) is never touched.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/LocalDatagram.h"
#include "platform/MessageLoop.h"
#include "platform/Pty.h"
#include "vport/DriverInterface.h"
#include "vport/HostLineProtocol.h"

namespace varnock {

class PtyPortDriver : public VirtualPortDriver {
public:
    explicit PtyPortDriver(const DriverOptions& options);
    PtyPortDriver(const PtyPortDriver&) = delete;
    PtyPortDriver& operator=(const PtyPortDriver&) = delete;

    uint32_t AddRef() override;
    uint32_t Release() override;

    // Checks that the device directory can be used.
    HRESULT PrepareBinding(VARIANT_BOOL* result) override;
    // Binds a free name or a stale link of ours; any earlier binding of this
    // object is released first.
    HRESULT BindPort(const std::string& name, VARIANT_BOOL* bound) override;
    // Takes over a stale link of ours; fails when there is nothing to take
    // over.
    HRESULT BindPortFallback(const std::string& name, VARIANT_BOOL* bound) override;
    // Puts the bound port in service: its events start.
    HRESULT FinishBinding(int16_t value, int16_t* result) override;
    // Queues the bytes for the host; they reach it within the moment (see
    // Output). While the host does not have the port open, bytes are not
    // taken (a later opener must not get replies meant for the one before).
    // With kOutputCap bytes queued, waits up to kWriteWaitMs for the host to
    // make room, then drops what does not fit until the host takes some.
    HRESULT WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) override;
    HRESULT ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) override;
    HRESULT QueryParity(int32_t* parity) override;
    HRESULT QueryStopBits(int32_t* stopBits) override;
    HRESULT QueryByteSize(int32_t* byteSize) override;
    HRESULT QueryBaudRate(int32_t* baudRate) override;
    HRESULT QueryOutputQueue(int32_t* room, uint64_t* taken) override;

    HRESULT Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) override;
    HRESULT Unadvise(const Guid& eventInterface, uint32_t cookie) override;

    // The path the host software opens, empty while unbound.
    std::filesystem::path LinkPath() const;

    // Cycle of the event thread while the host has the port open, and its
    // pause while the port is closed (the pty then reports hang-up at once).
    // Data and hang-up end the wait at once; these bound only how soon a
    // settings change or an open is seen (an open at once where opens can
    // be watched), and what an idle port costs.
    static constexpr int kOpenWaitMs = 50;
    static constexpr int kClosedPauseMs = 50;
    // What may wait for the host: several of the largest frames' payloads.
    static constexpr int32_t kOutputCap = 256 * 1024;
    // How long a write may wait for room once that much waits, and how long
    // all the waits of one frame (a loop message's writes) may take together:
    // a host that reads, but slowly, must not hold the main thread.
    static constexpr int kWriteWaitMs = 50;
    static constexpr int kFrameWaitMs = 200;

private:
    ~PtyPortDriver() override;

    struct Binding {
        std::string name;
        std::filesystem::path link;
        std::unique_ptr<platform::DeviceNameLock> lock;
        std::unique_ptr<platform::Pty> pty;
        // The host library's messages; none when the path is too long for
        // a socket (the port then works on the pty's settings alone).
        std::unique_ptr<platform::LocalDatagramSocket> hostSocket;
        bool inService = false;
    };

    // What the four queries answer.
    struct LineValues {
        int32_t baudRate = 0;
        int32_t byteSize = 0;
        int32_t parity = 0;
        int32_t stopBits = 0;
        bool operator==(const LineValues&) const = default;
    };

    // The bytes on their way to the host. WriteBytes only appends them; they
    // reach the pty in large writes, in order: right after the main thread's
    // message that wrote them, else (written on another thread, or the
    // host's input full) from the writer thread. Within a message of the
    // main thread's loop they are staged without a lock, as WriteBytes is
    // called once per byte.
    //
    // Sessions: a session starts when the event thread finds the slave open
    // with none under way, before it announces the host's data, and ends
    // when a thread finds the slave closed: a flush, or the event or session
    // thread, which also readies the pty for the next session. Both happen
    // under `lock` after a
    // look at the slave, and each drops what waits. Between them (`absent`)
    // nothing is taken, and bytes staged in one session are not queued in
    // another. So nothing a closed session did not read reaches the next
    // one, also what is given after the close.
    struct Output {
        std::mutex lock;
        std::condition_variable room;  // the queue shrank
        platform::Pty* pty = nullptr;  // none while not in service
        std::vector<uint8_t> bytes;
        size_t head = 0;                   // bytes before it are written
        bool flushDue = false;             // a flush is on its way
        bool backlog = false;              // the host's input is full: the writer waits for room
        bool stalled = false;              // the host took nothing within a write's wait
        std::atomic<bool> absent{true};    // no session under way
        std::atomic<uint64_t> session{0};  // counts the starts and ends
        // Read without the lock (once per frame, by the reply phase).
        std::atomic<int64_t> queued{0};  // bytes.size() - head
        std::atomic<uint64_t> taken{0};  // written to the pty so far
        platform::WakeEvent wake;        // the writer thread's
        // The loop thread's alone: bytes of the message under way, and how
        // deeply that message is nested; moved to `bytes` when it ends.
        std::vector<uint8_t> staged;
        int stagedDepth = 0;
        uint64_t stagedSession = 0;
        // What the message under way may still wait for room, and whether
        // its end gives the budget back.
        std::chrono::steady_clock::duration frameWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
        bool frameWaitArmed = false;
    };
    // With out.lock held: writes what the pty takes. True when bytes are left.
    static bool FlushLocked(Output& out);
    // What waits is dropped; bytes staged before are not for after.
    static void DropLocked(Output& out);
    // The host's session ends: nothing is taken until the next one.
    static void EndSessionLocked(Output& out);
    // With the slave open and no session under way, one starts.
    void StartOutputSession(platform::Pty& pty);
    // From the main thread's loop, after the message that queued bytes.
    static void Flush(Output& out);
    // Moves the staged bytes to the queue.
    static void TakeStagedLocked(Output& out);
    // While the host has the slave closed: drops the queue and readies the
    // pty for the next session, in one step for the writes to the host.
    // False when it is open.
    bool PrepareOutputSession(platform::Pty& pty);
    // The slave's state, as the output's users see it.
    bool SlaveOpenNow(platform::Pty& pty);
    // Queues with the lock: off the loop, or when the queue is full.
    HRESULT QueueLocked(Output& out, const uint8_t* bytes, int32_t count, int32_t* result);
    // Has Flush run after the loop's current message.
    bool FlushAfterMessage(platform::MessageLoop& loop);

    HRESULT Bind(const std::string& name, bool takeOverOnly, VARIANT_BOOL* bound);
    void ReleaseBinding();
    HRESULT QueryValues(LineValues* values);
    // From the host library's message while the pty shows what it showed
    // then, else from the pty and the configured values.
    bool ReadValues(platform::Pty& pty, LineValues* values);
    void StartEvents(Binding& binding);
    void StopEvents();
    // On the main thread: the slave refuses every opener (see
    // Pty::PrepareNextSession), so a new pty takes over the name, with the
    // settings of the old one.
    void RenewPty();
    void EventThread(platform::Pty* pty, bool haveLast, LineValues last,
                     std::unique_ptr<platform::NodeWatch> opens);
    void LineThread(platform::Pty* pty, platform::LocalDatagramSocket* socket, std::string name,
                    std::unique_ptr<platform::NodeWatch> watch);
    void WriterThread();
    // Reads the waiting messages and answers them; `take` false drops the
    // settings. Takes the output's lock.
    void TakeHostMessages(platform::Pty& pty, platform::LocalDatagramSocket* socket, const std::string& name,
                          uint32_t pts, bool take);
    void EndHostSession();
    void Raise(DISPID dispid, const DispParams& params);
    bool HasSinks();

    const DriverOptions m_options;
    std::atomic<uint32_t> m_cRef{1};

    mutable std::shared_mutex m_bindingLock;
    std::unique_ptr<Binding> m_binding;

    std::mutex m_sinkLock;
    std::map<uint32_t, DriverEventDispatch*> m_sinks;
    uint32_t m_nextCookie = 1;

    std::thread m_eventThread;
    std::atomic<bool> m_stopEvents{false};
    std::atomic<bool> m_eventThreadDone{true};
    std::atomic<uint64_t> m_bytesTaken{0};  // by ReadBytes, for the event thread
    std::unique_ptr<platform::WakeEvent> m_wake;

    std::atomic<bool> m_bound{false};
    std::atomic<bool> m_renewing{false};
    // Shared with the flushes queued on the main thread's loop, which may
    // outlive the driver.
    const std::shared_ptr<Output> m_output = std::make_shared<Output>();
    platform::MessageLoop& m_loop = platform::MessageLoop::Main();
    std::thread m_writerThread;

    // The session thread: host's close, the next session readied, the host
    // library's messages and questions.
    std::thread m_lineThread;
    std::unique_ptr<platform::WakeEvent> m_settingsNews;  // wakes the event thread
    // Guards what follows; taken after the output's lock where both are held.
    std::mutex m_hostLock;
    // The last message of a host, kept across sessions as a serial device
    // keeps its settings; it holds while the pty shows what it showed then.
    bool m_haveHostLine = false;
    hostline::LineMessage m_hostLine;
    platform::Pty::KeptSettings m_hostKept;
    // What the queries answer: the host's last settings, kept after its
    // session ended.
    std::optional<LineValues> m_published;
};

}  // namespace varnock

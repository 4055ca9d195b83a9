#pragma once
// Our virtual serial port driver: each port is a pseudo-terminal whose slave
// appears in the device directory as DIR/NAME (see PtyNameBinding). The
// ports in service are served by one thread for all (PtyPortWaiter), which
// raises the driver events; the bytes for the host go through a
// PtyOutputQueue.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/LocalDatagram.h"
#include "platform/MessageLoop.h"
#include "platform/Pty.h"
#include "vport/DriverEventSinks.h"
#include "vport/DriverInterface.h"
#include "vport/HostLineProtocol.h"
#include "vport/PtyNameBinding.h"
#include "vport/PtyOutputQueue.h"
#include "vport/PtyPortWaiter.h"

namespace varnock {

class PtyPortDriver : public VirtualPortDriver, private PtyPortWaiter::Port {
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
    // PtyOutputQueue). While the host does not have the port open, bytes are not
    // taken (a later opener must not get replies meant for the one before).
    // With kOutputCap bytes queued, waits a moment for the host to make
    // room, then drops what does not fit until the host takes some.
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

    static constexpr int32_t kOutputCap = PtyOutputQueue::kCap;

private:
    ~PtyPortDriver() override;

    // What the four queries answer.
    struct LineValues {
        int32_t baudRate = 0;
        int32_t byteSize = 0;
        int32_t parity = 0;
        int32_t stopBits = 0;
        bool operator==(const LineValues&) const = default;
    };

    // While the host has the slave closed: drops the queue and readies the
    // pty for the next session, in one step for the writes to the host (under
    // the queue's lock, then m_hostLock). False when it is open.
    bool PrepareOutputSession(platform::Pty& pty);
    // The slave's state, as the output's users see it (under its lock).
    bool SlaveOpenNow(platform::Pty& pty);

    HRESULT Bind(const std::string& name, bool takeOverOnly, VARIANT_BOOL* bound);
    void ReleaseBinding();
    HRESULT QueryValues(LineValues* values);
    // From the host library's message while the pty shows what it showed
    // then, else from the pty and the configured values.
    bool ReadValues(platform::Pty& pty, LineValues* values);
    // False when the port cannot be served (no descriptor left).
    bool StartEvents(PtyNameBinding& binding);
    void StopEvents();
    // On the main thread: the slave refuses every opener (see
    // Pty::PrepareNextSession), so a new pty takes over the name, with the
    // settings of the old one.
    void RenewPty();
    // One pass over what woke the port, on the waiter's thread: the host's
    // close and the next session readied, the host library's messages, the
    // host's bytes, open state and settings, and the bytes for the host.
    PtyPortWaiter::Interest Serve(unsigned reasons) override;
    // The host's bytes, open state and settings.
    enum class HostBytes { None, Taken, Untaken };
    HostBytes ServeEvents(platform::Pty& pty, bool* prepared);
    // Reads the waiting messages and answers them; `take` false drops the
    // settings. Takes the output queue's lock, then m_hostLock.
    void TakeHostMessages(platform::Pty& pty, platform::LocalDatagramSocket* socket, const std::string& name,
                          uint32_t pts, bool take);
    void EndHostSession();
    bool HasSinks();

    const DriverOptions m_options;
    std::atomic<uint32_t> m_cRef{1};

    mutable std::shared_mutex m_bindingLock;
    std::unique_ptr<PtyNameBinding> m_binding;

    DriverEventSinks m_sinks;

    std::atomic<uint64_t> m_waiterId{0};    // 0 while not in service
    std::atomic<uint64_t> m_bytesTaken{0};  // by ReadBytes, for the passes
    // What the passes serve and keep, from StartEvents to StopEvents.
    struct Served {
        platform::Pty* pty = nullptr;
        platform::LocalDatagramSocket* socket = nullptr;
        std::string name;
        uint32_t pts = 0;
        bool hostOpen = false;
        bool haveLast = false;
        LineValues last;
        bool room = false;  // bytes for the host wait for room in its input
    } m_served;

    std::atomic<bool> m_bound{false};
    std::atomic<bool> m_renewing{false};
    platform::MessageLoop& m_loop = platform::MessageLoop::Main();
    const std::shared_ptr<PtyOutputQueue> m_output = std::make_shared<PtyOutputQueue>(m_loop);

    // Guards what follows; taken after the output queue's lock where both
    // are held.
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

#include "vport/NetworkPortDriver.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "platform/MessageLoop.h"

namespace varnock {

namespace {

constexpr size_t kReadChunk = 16 * 1024;

rfc2217::LineSettings InitialLine(const DriverOptions& options) {
    rfc2217::LineSettings line;
    line.dataBits = static_cast<uint8_t>(options.byteSize);
    line.parity = static_cast<uint8_t>(options.parity);
    return line;
}

}  // namespace

NetworkPortDriver::NetworkPortDriver(const DriverOptions& options)
    : m_options(options), m_codec(InitialLine(options)) {}

NetworkPortDriver::~NetworkPortDriver() {
    Stop();
}

uint32_t NetworkPortDriver::AddRef() {
    return ++m_cRef;
}

uint32_t NetworkPortDriver::Release() {
    uint32_t left = --m_cRef;
    if (left == 0) delete this;
    return left;
}

HRESULT NetworkPortDriver::PrepareBinding(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = VARIANT_TRUE;
    return S_OK;
}

HRESULT NetworkPortDriver::BindPort(const std::string& name, VARIANT_BOOL* bound) {
    if (!bound) return E_POINTER;
    Stop();
    m_name = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    m_bound = m_listener.Listen(m_options.listenAddress, m_options.listenPort) == platform::Error::None;
    *bound = m_bound ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT NetworkPortDriver::BindPortFallback(const std::string& name, VARIANT_BOOL* bound) {
    return BindPort(name, bound);
}

HRESULT NetworkPortDriver::FinishBinding(int16_t value, int16_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    if (!m_bound) return S_OK;
    if (value != 0 && !m_thread.joinable()) {
        m_wake = std::make_unique<platform::WakeEvent>();
        if (!m_wake->ok()) return E_FAIL;
        m_stop = false;
        m_done = false;
        m_thread = std::thread(&NetworkPortDriver::Run, this);
    }
    *result = 1;
    return S_OK;
}

void NetworkPortDriver::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        m_wake->Signal();
        // An event may be waiting for the main thread; keep its loop running
        // until the thread is out.
        platform::MessageLoop& loop = platform::MessageLoop::Main();
        if (loop.IsLoopThread()) {
            while (!m_done) loop.Pump(std::chrono::milliseconds(5));
        }
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_client.reset();
    m_clientAddress.clear();
    m_session = false;
    m_listener.Close();
    m_bound = false;
}

HRESULT NetworkPortDriver::WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    if (count < 0 || (count > 0 && !bytes)) return E_INVALIDARG;
    if (!m_bound) return E_UNEXPECTED;
    std::unique_lock<std::mutex> lock(m_lock);
    // Replies are for the client that asked: none is kept for the next one.
    if (!m_session) return S_OK;
    int32_t taken = 0;
    while (taken < count) {
        const size_t queued = m_out.size() - m_outHead;
        if (queued >= kOutCap) {
            if (m_stalled) break;
            const bool room = m_room.wait_for(lock, std::chrono::milliseconds(kWriteWaitMs), [&] {
                return !m_session || m_out.size() - m_outHead < kOutCap;
            });
            if (!m_session) break;
            if (!room) {
                m_stalled = true;
                break;
            }
            continue;
        }
        const size_t n = std::min(static_cast<size_t>(count - taken), kOutCap - queued);
        m_out.insert(m_out.end(), bytes + taken, bytes + taken + n);
        taken += static_cast<int32_t>(n);
        if (queued == 0) m_wake->Signal();
    }
    *result = taken;
    return S_OK;
}

HRESULT NetworkPortDriver::ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) {
    if (!count || !read) return E_POINTER;
    *read = 0;
    if (*count < 0 || (*count > 0 && !buffer)) return E_INVALIDARG;
    if (!m_bound) return E_UNEXPECTED;
    std::lock_guard<std::mutex> lock(m_lock);
    const size_t n = std::min(static_cast<size_t>(*count), m_in.size());
    std::copy_n(m_in.begin(), n, buffer);
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(n));
    *read = *count = static_cast<int32_t>(n);
    m_read += n;
    return S_OK;
}

HRESULT NetworkPortDriver::QueryLine(int32_t* out, int32_t (*pick)(const rfc2217::LineSettings&)) {
    if (!out) return E_POINTER;
    if (!m_bound) return E_UNEXPECTED;
    std::lock_guard<std::mutex> lock(m_lock);
    *out = pick(m_codec.Line());
    return S_OK;
}

HRESULT NetworkPortDriver::QueryParity(int32_t* parity) {
    return QueryLine(parity, [](const rfc2217::LineSettings& l) -> int32_t { return l.parity; });
}

HRESULT NetworkPortDriver::QueryStopBits(int32_t* stopBits) {
    return QueryLine(stopBits, [](const rfc2217::LineSettings& l) -> int32_t { return l.stopBits; });
}

HRESULT NetworkPortDriver::QueryByteSize(int32_t* byteSize) {
    return QueryLine(byteSize, [](const rfc2217::LineSettings& l) -> int32_t { return l.dataBits; });
}

HRESULT NetworkPortDriver::QueryBaudRate(int32_t* baudRate) {
    return QueryLine(baudRate,
                     [](const rfc2217::LineSettings& l) { return static_cast<int32_t>(l.baudRate); });
}

HRESULT NetworkPortDriver::QueryOutputQueue(int32_t* room, uint64_t* taken) {
    if (!room || !taken) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_lock);
    *room = static_cast<int32_t>(kOutCap - std::min(kOutCap, m_out.size() - m_outHead));
    *taken = m_taken;
    return S_OK;
}

HRESULT NetworkPortDriver::QueryNetworkClient(std::string* address) {
    if (!address) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_lock);
    *address = m_clientAddress;
    return S_OK;
}

HRESULT NetworkPortDriver::Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) {
    return m_sinks.Advise(eventInterface, sink, cookie);
}

HRESULT NetworkPortDriver::Unadvise(const Guid& eventInterface, uint32_t cookie) {
    return m_sinks.Unadvise(eventInterface, cookie);
}

void NetworkPortDriver::Run() {
    bool retry = false;
    while (!m_stop) {
        pollfd fds[3] = {{m_wake->fd(), POLLIN, 0}, {m_listener.fd(), POLLIN, 0}, {-1, 0, 0}};
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_client && !m_eof) {
                short events = 0;
                if (m_in.size() < kInCap && m_wire.size() < kWireCap) events |= POLLIN;
                if (!m_wire.empty() || (!m_codec.Suspended() && m_outHead < m_out.size())) events |= POLLOUT;
                // A hang-up is reported whatever is asked: not looked at
                // again until its last bytes can be read.
                if (!m_hangupSeen || (events & POLLIN)) fds[2] = {m_client->fd(), events, 0};
            }
            // A client that reconnects at once waits until the last one's
            // bytes are taken, instead of being told the port is in use.
            if (m_eof) fds[1].fd = -1;
        }
        ::poll(fds, 3, retry ? kRetryMs : -1);
        if (m_stop) break;
        if (fds[0].revents) m_wake->Clear();
        bool ended = false;
        if (fds[2].fd >= 0) {
            if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (fds[2].events & POLLIN) {
                    ReadClient();
                } else {
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_hangupSeen = true;
                }
            }
            ended = !Flush();
        }
        // Data before the close, as the host's last bytes are.
        retry = AnnounceData();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ended = ended || (m_eof && m_in.empty());
        }
        if (ended) EndSession();
        // After the last client's end: one that closes and connects again
        // is no second client.
        if (fds[1].revents & POLLIN) Accept();
    }
    m_done = true;
}

void NetworkPortDriver::Accept() {
    std::string peer;
    std::unique_ptr<platform::TcpConnection> client = m_listener.Accept(0, &peer);
    if (!client) return;
    const std::string host = peer.substr(0, peer.rfind(':'));
    const std::vector<std::string>& allowed = m_options.allowedClients;
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), host) == allowed.end()) {
        client->Reset();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_client) {
            const std::string text = "\r\n" + m_name + " is in use by another client\r\n";
            client->WriteNow(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
            // What it sent already is read, so that the close does not reset the text away.
            uint8_t discard[512];
            while (client->ReadNow(discard, sizeof discard) > 0) {
            }
            client->Close();
            return;
        }
        if (!client->PrepareServed(kKeepIdleS, kKeepIntervalS, kKeepCount)) {
            client->Reset();
            return;
        }
        m_client = std::move(client);
        m_clientAddress = peer;
        m_codec.Restart();
        m_in.clear();
        m_out.clear();
        m_outHead = 0;
        m_wire.clear();
        m_stalled = false;
        m_eof = m_hangupSeen = false;
        m_session = true;
    }
    m_sinks.Raise(kDispidOpenStateChanged, DispParams{{Variant::Bool(true)}});
}

void NetworkPortDriver::ReadClient() {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        uint8_t buffer[kReadChunk];
        // Decoded data is never longer than what was read.
        const size_t room = std::min(kReadChunk, kInCap - std::min(kInCap, m_in.size()));
        if (room == 0) return;
        const int n = m_client->ReadNow(buffer, static_cast<int>(room));
        if (n < 0) {
            m_eof = true;
            return;
        }
        rfc2217::Effects effects;
        m_codec.Feed(buffer, static_cast<size_t>(n), m_in, m_wire, effects);
        if (effects.purgeToClient) {
            m_out.clear();
            m_outHead = 0;
            m_room.notify_all();
        }
        changed = effects.settingsChanged;
    }
    // The bridge asks the values when its channel is idle; a flood of
    // changes leaves it the last ones.
    if (changed) m_sinks.Raise(kDispidSettingsChanged, DispParams{});
}

bool NetworkPortDriver::Flush() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_eof) return true;
    for (;;) {
        if (m_wire.empty() && !m_codec.Suspended() && m_outHead < m_out.size()) {
            const size_t n = std::min(kReadChunk, m_out.size() - m_outHead);
            m_codec.EncodeData(m_out.data() + m_outHead, n, m_wire);
            m_outHead += n;
            m_taken += n;
            m_stalled = false;
            if (m_outHead == m_out.size()) {
                m_out.clear();
                m_outHead = 0;
            } else if (m_outHead >= kOutCap / 2) {
                m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(m_outHead));
                m_outHead = 0;
            }
            m_room.notify_all();
        }
        if (m_wire.empty()) return true;
        const int n = m_client->WriteNow(m_wire.data(), static_cast<int>(m_wire.size()));
        if (n < 0) return false;
        m_wire.erase(m_wire.begin(), m_wire.begin() + n);
        if (!m_wire.empty()) return true;
    }
}

bool NetworkPortDriver::AnnounceData() {
    size_t waiting;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        waiting = m_in.size();
    }
    if (waiting == 0) return false;
    if (!m_sinks.Empty())
        m_sinks.Raise(kDispidDataArrived, DispParams{{Variant::Int32(static_cast<int32_t>(waiting))}});
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_in.empty();
}

void NetworkPortDriver::EndSession() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_client.reset();
        m_clientAddress.clear();
        m_session = false;
        m_eof = m_hangupSeen = false;
        m_in.clear();
        m_out.clear();
        m_outHead = 0;
        m_wire.clear();
        m_room.notify_all();
    }
    m_sinks.Raise(kDispidOpenStateChanged, DispParams{{Variant::Bool(false)}});
}

}  // namespace varnock

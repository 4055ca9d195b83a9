#include "vport/PtyPortDriver.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/LinkTypes.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"

namespace varnock {
namespace fs = std::filesystem;

namespace {

// The name as the settings spell it, without a leading "\\.\".
std::string BareName(const std::string& name) {
    if (name.rfind("\\\\.\\", 0) == 0) return name.substr(4);
    return name;
}

// One plain entry of the device directory: nothing that leaves it, no
// hidden names (the lock and socket files are hidden), no control characters.
bool ValidName(const std::string& name) {
    return hostline::IsPortName(name.data(), name.size());
}

// N of /dev/pts/N.
uint32_t PtsNumber(const std::string& slavePath) {
    return static_cast<uint32_t>(std::strtoul(slavePath.c_str() + slavePath.rfind('/') + 1, nullptr, 10));
}

// Windows parity code from the pty's flags; `fallback` where even and none
// look alike.
int32_t ParityCode(const platform::PtyLineSettings& s, int32_t fallback) {
    Parity parity = Parity::None;
    if (s.parityStick)
        parity = s.parityOdd ? Parity::Mark : Parity::Space;
    else if (s.parityOdd)
        parity = Parity::Odd;
    else if (s.parityEnable)
        parity = Parity::Even;
    else
        return fallback;
    return static_cast<int32_t>(parity);
}

int32_t StopBitsCode(const platform::PtyLineSettings& s) {
    return static_cast<int32_t>(s.twoStopBits ? StopBits::Two : StopBits::One);
}

class PtyDriverClass : public DriverClassFactory {
public:
    HRESULT CreateInstance(const DriverOptions& options, VirtualPortDriver** driver) override {
        if (!driver) return E_POINTER;
        *driver = new PtyPortDriver(options);
        return S_OK;
    }
};

std::atomic<DriverClassFactory*> g_registeredClass{nullptr};

}  // namespace

HRESULT GetDriverClassObject(DriverClassFactory** factory) {
    if (!factory) return E_POINTER;
    *factory = nullptr;
    if (DriverClassFactory* registered = g_registeredClass.load()) {
        *factory = registered;
        return S_OK;
    }
    // Without a usable device directory no port could ever appear.
    if (!platform::DeviceDirectory().ok) return REGDB_E_CLASSNOTREG;
    static PtyDriverClass ptyClass;
    *factory = &ptyClass;
    return S_OK;
}

void RegisterDriverClassObject(DriverClassFactory* factory) {
    g_registeredClass.store(factory);
}

PtyPortDriver::PtyPortDriver(const DriverOptions& options) : m_options(options) {}

PtyPortDriver::~PtyPortDriver() {
    ReleaseBinding();
}

uint32_t PtyPortDriver::AddRef() {
    return ++m_cRef;
}

uint32_t PtyPortDriver::Release() {
    uint32_t left = --m_cRef;
    if (left == 0) delete this;
    return left;
}

HRESULT PtyPortDriver::PrepareBinding(VARIANT_BOOL* result) {
    if (!result) return E_POINTER;
    *result = platform::DeviceDirectory().ok ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT PtyPortDriver::BindPort(const std::string& name, VARIANT_BOOL* bound) {
    return Bind(name, false, bound);
}

HRESULT PtyPortDriver::BindPortFallback(const std::string& name, VARIANT_BOOL* bound) {
    return Bind(name, true, bound);
}

HRESULT PtyPortDriver::Bind(const std::string& name, bool takeOverOnly, VARIANT_BOOL* bound) {
    if (!bound) return E_POINTER;
    *bound = VARIANT_FALSE;
    const std::string bare = BareName(name);
    if (!ValidName(bare)) return S_OK;
    platform::DeviceDirectoryResult dir = platform::DeviceDirectory();
    if (!dir.ok) return S_OK;
    ReleaseBinding();
    HRESULT hr = S_OK;
    auto binding = PtyNameBinding::Acquire(dir.path, bare, takeOverOnly, &hr);
    if (!binding) return hr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        m_binding = std::move(binding);
        m_bound = true;
    }
    *bound = VARIANT_TRUE;
    return S_OK;
}

void PtyPortDriver::ReleaseBinding() {
    StopEvents();
    std::unique_ptr<PtyNameBinding> binding;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        binding.swap(m_binding);
        m_bound = false;
    }
    // Its files go as it ends, outside the lock.
}

HRESULT PtyPortDriver::FinishBinding(int16_t value, int16_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    PtyNameBinding* start = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        if (!m_binding) return S_OK;
        if (value != 0 && !m_binding->inService) {
            m_binding->inService = true;
            start = m_binding.get();
        }
    }
    if (start && !StartEvents(*start)) {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        start->inService = false;
        return HresultFromErrno(EMFILE);
    }
    *result = 1;
    return S_OK;
}

HRESULT PtyPortDriver::WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    if (count < 0 || (count > 0 && !bytes)) return E_INVALIDARG;
    if (!m_bound) return E_UNEXPECTED;
    *result = m_output->Write(bytes, count);
    return S_OK;
}

HRESULT PtyPortDriver::QueryOutputQueue(int32_t* room, uint64_t* taken) {
    if (!room || !taken) return E_POINTER;
    *room = m_output->Room();
    *taken = m_output->Taken();
    return S_OK;
}

HRESULT PtyPortDriver::ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) {
    if (!count || !read) return E_POINTER;
    *read = 0;
    if (*count < 0 || (*count > 0 && !buffer)) return E_INVALIDARG;
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    if (!m_binding) return E_UNEXPECTED;
    int n = m_binding->pty->Read(buffer, *count);
    *read = n > 0 ? n : 0;
    *count = *read;
    m_bytesTaken += static_cast<uint64_t>(*read);
    return S_OK;
}

bool PtyPortDriver::ReadValues(platform::Pty& pty, LineValues* values) {
    platform::PtyLineSettings s;
    if (pty.ReadLineSettings(s) != platform::Error::None) return false;
    platform::Pty::KeptSettings kept;
    if (pty.ReadKeptSettings(&kept)) {
        // Only while the pty still shows what it showed when the message
        // came: a program without the library may have set its own since.
        std::lock_guard<std::mutex> lock(m_hostLock);
        const hostline::LineMessage& m = m_hostLine;
        if (m_haveHostLine && kept == m_hostKept && static_cast<int32_t>(m.baudRate) == s.baudRate &&
            (m.stopBits != 0) == s.twoStopBits) {
            *values = {static_cast<int32_t>(m.baudRate), m.dataBits, m.parity, m.stopBits};
            return true;
        }
    }
    values->baudRate = s.baudRate;
    // A pty turns every character size into 8 bits, and even parity into none.
    values->byteSize = s.dataBits != 8 ? s.dataBits : m_options.byteSize;
    values->parity = ParityCode(s, m_options.parity);
    values->stopBits = StopBitsCode(s);
    return true;
}

HRESULT PtyPortDriver::QueryValues(LineValues* values) {
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    if (!m_binding) return E_UNEXPECTED;
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        if (m_published) {
            *values = *m_published;
            return S_OK;
        }
    }
    // Nothing set yet: the pty's new-terminal settings with the configured values.
    platform::PtyLineSettings s;
    if (platform::Error error = m_binding->pty->ReadLineSettings(s); error != platform::Error::None)
        return HresultFromErrno(error.SystemCode());
    *values = {s.baudRate, m_options.byteSize, ParityCode(s, m_options.parity), StopBitsCode(s)};
    return S_OK;
}

HRESULT PtyPortDriver::QueryParity(int32_t* parity) {
    if (!parity) return E_POINTER;
    LineValues v;
    HRESULT hr = QueryValues(&v);
    if (Succeeded(hr)) *parity = v.parity;
    return hr;
}

HRESULT PtyPortDriver::QueryStopBits(int32_t* stopBits) {
    if (!stopBits) return E_POINTER;
    LineValues v;
    HRESULT hr = QueryValues(&v);
    if (Succeeded(hr)) *stopBits = v.stopBits;
    return hr;
}

HRESULT PtyPortDriver::QueryByteSize(int32_t* byteSize) {
    if (!byteSize) return E_POINTER;
    LineValues v;
    HRESULT hr = QueryValues(&v);
    if (Succeeded(hr)) *byteSize = v.byteSize;
    return hr;
}

HRESULT PtyPortDriver::QueryBaudRate(int32_t* baudRate) {
    if (!baudRate) return E_POINTER;
    LineValues v;
    HRESULT hr = QueryValues(&v);
    if (Succeeded(hr)) *baudRate = v.baudRate;
    return hr;
}

HRESULT PtyPortDriver::Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) {
    return m_sinks.Advise(eventInterface, sink, cookie);
}

HRESULT PtyPortDriver::Unadvise(const Guid& eventInterface, uint32_t cookie) {
    return m_sinks.Unadvise(eventInterface, cookie);
}

fs::path PtyPortDriver::LinkPath() const {
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    return m_binding ? m_binding->link : fs::path();
}

bool PtyPortDriver::StartEvents(PtyNameBinding& binding) {
    // Changes are reported from the moment the port is in service.
    m_served = Served{};
    m_served.pty = binding.pty.get();
    m_served.socket = binding.hostSocket.get();
    m_served.name = binding.name;
    m_served.pts = PtsNumber(binding.pty->SlavePath());
    m_served.haveLast = Succeeded(QueryValues(&m_served.last));
    m_output->Attach(binding.pty.get(), [this] {
        if (const uint64_t id = m_waiterId.load())
            PtyPortWaiter::Instance().Notify(id, PtyPortWaiter::kWriter);
    });
    // Watched from now on: a host that opens and closes before the first
    // pass is still seen.
    m_waiterId =
        PtyPortWaiter::Instance().Add(this, *binding.pty, binding.hostSocket ? binding.hostSocket->fd() : -1);
    if (m_waiterId) return true;
    m_output->Detach();
    return false;
}

void PtyPortDriver::RenewPty() {
    if (!m_waiterId) return;
    // The host's settings and what the bridge was told go on with the port.
    std::optional<LineValues> published;
    bool haveHostLine;
    hostline::LineMessage hostLine;
    platform::Pty::KeptSettings hostKept;
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        published = m_published;
        haveHostLine = m_haveHostLine;
        hostLine = m_hostLine;
        hostKept = m_hostKept;
    }
    StopEvents();
    PtyNameBinding* binding = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        if (!m_binding) return;
        m_binding->RenewPty();
        binding = m_binding.get();
    }
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        m_published = published;
        m_haveHostLine = haveHostLine;
        m_hostLine = hostLine;
        m_hostKept = hostKept;
    }
    if (!StartEvents(*binding)) binding->inService = false;
}

void PtyPortDriver::StopEvents() {
    const uint64_t id = m_waiterId.exchange(0);
    if (!id) return;
    // A pass may be waiting for the main thread (a settings change handed
    // over and waited for): the main loop runs until it is out.
    PtyPortWaiter::Instance().Remove(id);
    m_output->Detach();
    EndHostSession();
    std::lock_guard<std::mutex> lock(m_hostLock);
    m_published.reset();
}

bool PtyPortDriver::HasSinks() {
    return !m_sinks.Empty();
}

PtyPortWaiter::Interest PtyPortDriver::Serve(unsigned reasons) {
    using W = PtyPortWaiter;
    platform::Pty& pty = *m_served.pty;
    W::Interest want;
    if (reasons & (W::kSocket | W::kClosed)) {
        // Looked at in this order: a message of a session that closes in
        // between is still seen as its session's.
        const bool open = pty.SlaveOpen();
        const bool closed = reasons & W::kClosed;
        // What a session sent before its close belongs to it; what comes
        // while nobody has the port open counts for nobody.
        if (m_served.socket)
            TakeHostMessages(pty, m_served.socket, m_served.name, m_served.pts, open || closed);
        // Every close of the slave readies the next session, before a quick
        // next opener sets its own settings. Opened again before this pass,
        // the new session goes on from the last one's settings, and with
        // what waits for it.
        if (closed && PrepareOutputSession(pty)) want.ownCloses = true;
    }
    HostBytes bytes = HostBytes::None;
    if (reasons & ~(W::kWriter | W::kRoom)) bytes = ServeEvents(pty, &want.ownCloses);
    // Bytes nobody took are announced again a moment later; what is left of
    // the bytes of a closed session, at once.
    const bool pause = bytes == HostBytes::Untaken;
    want.again = bytes == HostBytes::Taken && !m_served.hostOpen;
    if (reasons & (W::kStart | W::kWriter | W::kRoom)) m_served.room = m_output->WriteWaiting();
    want.hostOpen = m_served.hostOpen;
    want.data = m_served.hostOpen && !pause;
    want.room = m_served.hostOpen && m_served.room;
    // A pty tells nobody of new settings: looked at on the cycle while a
    // host may set them.
    want.tick = m_served.hostOpen || pause;
    return want;
}

PtyPortDriver::HostBytes PtyPortDriver::ServeEvents(platform::Pty& pty, bool* prepared) {
    const platform::PtyWaitResult state = pty.Wait(0, nullptr);
    HostBytes bytes = HostBytes::None;
    // Replies to what the host sends are for its session.
    if (!state.hangup && m_output->Absent()) m_output->StartSession(pty);

    // Data before the open state: bytes written just before a close are
    // still announced and read, until taken.
    if (state.readable) {
        int waiting = pty.BytesAvailable();
        if (waiting > 0 && HasSinks()) {
            uint64_t taken = m_bytesTaken.load();
            m_sinks.Raise(kDispidDataArrived, DispParams{{Variant::Int32(waiting)}});
            // Nobody took them: do not announce them again at once. (A
            // host that writes fast refills the queue at once, so the
            // count of bytes waiting does not tell.)
            bytes = m_bytesTaken.load() == taken ? HostBytes::Untaken : HostBytes::Taken;
        } else {
            bytes = HostBytes::Untaken;
        }
    }

    // What a closed session did not read goes at its close: here, or in
    // the pass for the watched close when that comes first. Looked at again
    // under the lock: the port's brief open of its own is no host.
    bool open = !state.hangup && SlaveOpenNow(pty);
    if (open != m_served.hostOpen) {
        m_served.hostOpen = open;
        // The session is over before anybody hears of it.
        if (!open && PrepareOutputSession(pty)) *prepared = true;
        m_sinks.Raise(kDispidOpenStateChanged, DispParams{{Variant::Bool(open)}});
    }

    LineValues now;
    if (ReadValues(pty, &now) && !(m_served.haveLast && now == m_served.last)) {
        {
            std::lock_guard<std::mutex> lock(m_hostLock);
            m_published = now;
        }
        if (m_served.haveLast) m_sinks.Raise(kDispidSettingsChanged, DispParams{});
        m_served.last = now;
        m_served.haveLast = true;
    }
    return bytes;
}

bool PtyPortDriver::PrepareOutputSession(platform::Pty& pty) {
    return m_output->Hold([&] {
        platform::Pty::KeptSettings before, after;
        const bool read = pty.ReadKeptSettings(&before);
        bool refused = false;
        if (!pty.PrepareNextSession(&refused)) return false;
        m_output->EndSessionLocked();
        // Once, on the main thread, which takes the port out of service for it.
        if (refused && !m_renewing.exchange(true)) {
            AddRef();
            m_loop.Post([this] {
                RenewPty();
                m_renewing = false;
                Release();
            });
        }
        // Our change is no host's: the last host's settings still hold.
        std::lock_guard<std::mutex> hostLock(m_hostLock);
        if (read && m_haveHostLine && before == m_hostKept && pty.ReadKeptSettings(&after))
            m_hostKept = after;
        return true;
    });
}

bool PtyPortDriver::SlaveOpenNow(platform::Pty& pty) {
    return m_output->Hold([&] { return pty.SlaveOpen(); });
}

void PtyPortDriver::TakeHostMessages(platform::Pty& pty, platform::LocalDatagramSocket* socket,
                                     const std::string& name, uint32_t pts, bool take) {
    using hostline::MessageKind;
    // The pty is looked at as the next session's readying leaves it.
    m_output->Hold([&] {
        // Bounded: a flood cannot keep the pass from the host's close.
        for (int i = 0; i < 64; ++i) {
            uint8_t buffer[hostline::kMessageSize + 1];
            platform::LocalDatagramSocket::Sender sender;
            long n = socket->Receive(buffer, sizeof(buffer), &sender);
            if (n < 0) break;
            // Looked at after each message: the settings it tells of were set
            // before it was sent.
            platform::Pty::KeptSettings kept;
            const bool read = pty.ReadKeptSettings(&kept);
            hostline::LineMessage message;
            if (!hostline::ParseLineMessage(buffer, static_cast<size_t>(n), &message) ||
                message.kind == MessageKind::State)
                continue;
            // Meant for another port, or another pty of the same name.
            if (message.pts != pts || name != message.port) continue;
            hostline::LineMessage state = message;
            state.kind = MessageKind::State;
            {
                std::lock_guard<std::mutex> lock(m_hostLock);
                if (message.kind == MessageKind::Set && take && read) {
                    m_hostLine = message;
                    m_hostKept = kept;
                    m_haveHostLine = true;
                }
                // Every process's read-back agrees with what the bridge forwards.
                state.known = m_haveHostLine && read && kept == m_hostKept;
                if (state.known) {
                    state.dataBits = m_hostLine.dataBits;
                    state.parity = m_hostLine.parity;
                }
            }
            uint8_t wire[hostline::kMessageSize];
            if (hostline::EncodeLineMessage(state, wire)) socket->Answer(sender, wire, sizeof(wire));
        }
    });
}

void PtyPortDriver::EndHostSession() {
    std::lock_guard<std::mutex> lock(m_hostLock);
    m_haveHostLine = false;
}

}  // namespace varnock

#include "vport/PtyPortDriver.h"

#include <chrono>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Paths.h"

namespace varnock {
namespace fs = std::filesystem;
using platform::DeviceEntryKind;

namespace {

// The name as the settings spell it, without a leading "\\.\".
std::string BareName(const std::string& name) {
    if (name.rfind("\\\\.\\", 0) == 0) return name.substr(4);
    return name;
}

// One plain entry of the device directory: nothing that leaves it, no
// hidden names (the lock files are hidden), no control characters.
bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 100 || name.front() == '.') return false;
    for (unsigned char c : name) {
        if (c == '/' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
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
    std::map<uint32_t, DriverEventDispatch*> sinks;
    {
        std::lock_guard<std::mutex> lock(m_sinkLock);
        sinks.swap(m_sinks);
    }
    for (auto& [cookie, sink] : sinks) sink->Release();
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

    const fs::path link = dir.path / bare;
    // A link into /dev/pts is taken over only when it is ours and stale: our
    // lock file lies beside it (so it is never made for one) and nobody holds
    // it. A free name may reuse a lock file left without its link.
    const platform::DeviceEntry seen = platform::InspectDeviceEntry(link);
    const bool stale = seen.kind == DeviceEntryKind::PtyLink;
    if (seen.kind == DeviceEntryKind::Other || (!stale && takeOverOnly)) return S_OK;
    platform::Error error;
    auto lock = platform::DeviceNameLock::TryAcquire(platform::DeviceLockFile(link), !stale, &error);
    if (!lock) return S_OK;
    // The lock file goes unless the stale link it marks is still there.
    auto giveUp = [&](HRESULT hr) {
        platform::DeviceEntry now = platform::InspectDeviceEntry(link);
        if (!stale || now.kind != DeviceEntryKind::PtyLink || now.target != seen.target) lock->RemoveFile();
        return hr;
    };

    auto pty = platform::Pty::Create(&error);
    if (!pty) return giveUp(HresultFromErrno(error.SystemCode()));
    if (stale) platform::RemoveDeviceLinkIfTarget(link, seen.target);
    error = platform::CreateDeviceLink(link, pty->SlavePath());
    if (error != platform::Error::None)
        return giveUp(error == platform::Error::AlreadyExists ? S_OK : HresultFromErrno(error.SystemCode()));

    auto binding = std::make_unique<Binding>();
    binding->name = bare;
    binding->link = link;
    binding->lock = std::move(lock);
    binding->pty = std::move(pty);
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        m_binding = std::move(binding);
    }
    *bound = VARIANT_TRUE;
    return S_OK;
}

void PtyPortDriver::ReleaseBinding() {
    StopEvents();
    std::unique_ptr<Binding> binding;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        binding.swap(m_binding);
    }
    if (!binding) return;
    // Only our own link: somebody may have put something else there since.
    platform::RemoveDeviceLinkIfTarget(binding->link, binding->pty->SlavePath());
    binding->lock->RemoveFile();
    // The pty closes before the lock is let go.
    binding->pty.reset();
    binding->lock.reset();
}

HRESULT PtyPortDriver::FinishBinding(int16_t value, int16_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    platform::Pty* start = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        if (!m_binding) return S_OK;
        if (value != 0 && !m_binding->inService) {
            m_binding->inService = true;
            start = m_binding->pty.get();
        }
    }
    if (start) StartEvents(start);
    *result = 1;
    return S_OK;
}

HRESULT PtyPortDriver::WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    if (count < 0 || (count > 0 && !bytes)) return E_INVALIDARG;
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    if (!m_binding) return E_UNEXPECTED;
    platform::Pty& pty = *m_binding->pty;
    if (count == 0 || !pty.SlaveOpen()) return S_OK;
    // A host that has stopped reading costs one wait, not one per byte.
    int written = pty.Write(bytes, count, m_writeStalled ? 0 : kWriteWaitMs);
    m_writeStalled = written < count;
    if (written > 0) m_hostInputPending = true;
    *result = written > 0 ? written : 0;
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

HRESULT PtyPortDriver::ReadSettings(platform::PtyLineSettings* settings) {
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    if (!m_binding) return E_UNEXPECTED;
    platform::Error error;
    if (!m_binding->pty->ReadLineSettings(settings, &error)) return HresultFromErrno(error.SystemCode());
    return S_OK;
}

HRESULT PtyPortDriver::QueryParity(int32_t* parity) {
    if (!parity) return E_POINTER;
    platform::PtyLineSettings s;
    HRESULT hr = ReadSettings(&s);
    if (Failed(hr)) return hr;
    if (s.parityStick)
        *parity = static_cast<int32_t>(s.parityOdd ? Parity::Mark : Parity::Space);
    else if (s.parityOdd)
        *parity = static_cast<int32_t>(Parity::Odd);
    else if (s.parityEnable)
        *parity = static_cast<int32_t>(Parity::Even);
    else
        *parity = m_options.parity;  // even and none look alike on a pty
    return S_OK;
}

HRESULT PtyPortDriver::QueryStopBits(int32_t* stopBits) {
    if (!stopBits) return E_POINTER;
    platform::PtyLineSettings s;
    HRESULT hr = ReadSettings(&s);
    if (Failed(hr)) return hr;
    *stopBits = static_cast<int32_t>(s.twoStopBits ? StopBits::Two : StopBits::One);
    return S_OK;
}

HRESULT PtyPortDriver::QueryByteSize(int32_t* byteSize) {
    if (!byteSize) return E_POINTER;
    platform::PtyLineSettings s;
    HRESULT hr = ReadSettings(&s);
    if (Failed(hr)) return hr;
    // A pty turns every character size into 8 bits.
    *byteSize = s.dataBits != 8 ? s.dataBits : m_options.byteSize;
    return S_OK;
}

HRESULT PtyPortDriver::QueryBaudRate(int32_t* baudRate) {
    if (!baudRate) return E_POINTER;
    platform::PtyLineSettings s;
    HRESULT hr = ReadSettings(&s);
    if (Failed(hr)) return hr;
    *baudRate = s.baudRate;
    return S_OK;
}

HRESULT PtyPortDriver::Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) {
    if (!sink || !cookie) return E_POINTER;
    if (!(eventInterface == kIidDriverEvents)) return CONNECT_E_NOCONNECTION;
    sink->AddRef();
    std::lock_guard<std::mutex> lock(m_sinkLock);
    *cookie = m_nextCookie++;
    m_sinks[*cookie] = sink;
    return S_OK;
}

HRESULT PtyPortDriver::Unadvise(const Guid& eventInterface, uint32_t cookie) {
    if (!(eventInterface == kIidDriverEvents)) return CONNECT_E_NOCONNECTION;
    DriverEventDispatch* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_sinkLock);
        auto it = m_sinks.find(cookie);
        if (it == m_sinks.end()) return CONNECT_E_NOCONNECTION;
        sink = it->second;
        m_sinks.erase(it);
    }
    sink->Release();
    return S_OK;
}

fs::path PtyPortDriver::LinkPath() const {
    std::shared_lock<std::shared_mutex> guard(m_bindingLock);
    return m_binding ? m_binding->link : fs::path();
}

void PtyPortDriver::StartEvents(platform::Pty* pty) {
    m_wake = std::make_unique<platform::WakeEvent>();
    m_stopEvents = false;
    m_eventThreadDone = false;
    // Changes are reported from the moment the port is in service.
    platform::PtyLineSettings initial;
    bool known = pty->ReadLineSettings(&initial, nullptr);
    m_eventThread = std::thread(&PtyPortDriver::EventThread, this, pty, known, initial);
}

void PtyPortDriver::StopEvents() {
    if (!m_eventThread.joinable()) return;
    m_stopEvents = true;
    m_wake->Signal();
    // An event may be waiting for the main thread (a settings change is
    // handed over and waited for); keep the main loop running until the
    // thread is out.
    platform::MessageLoop& loop = platform::MessageLoop::Main();
    if (loop.IsLoopThread()) {
        while (!m_eventThreadDone) loop.Pump(std::chrono::milliseconds(5));
    }
    m_eventThread.join();
    m_wake.reset();
}

bool PtyPortDriver::HasSinks() {
    std::lock_guard<std::mutex> lock(m_sinkLock);
    return !m_sinks.empty();
}

void PtyPortDriver::Raise(DISPID dispid, const DispParams& params) {
    std::vector<DriverEventDispatch*> sinks;
    {
        std::lock_guard<std::mutex> lock(m_sinkLock);
        for (auto& [cookie, sink] : m_sinks) {
            sink->AddRef();
            sinks.push_back(sink);
        }
    }
    for (DriverEventDispatch* sink : sinks) {
        try {
            sink->Invoke(dispid, params);
        } catch (...) {
            // A failing subscriber must not end the port's events.
        }
        sink->Release();
    }
}

void PtyPortDriver::EventThread(platform::Pty* pty, bool haveLast, platform::PtyLineSettings last) {
    bool hostOpen = false;

    while (!m_stopEvents) {
        // While the host has the port closed the pty reports hang-up at
        // once, so only look; the pause below keeps the thread from spinning.
        platform::PtyWaitResult state = pty->Wait(hostOpen ? kOpenWaitMs : 0, m_wake.get());
        if (m_stopEvents) break;
        bool pause = false;

        // Data before the open state: bytes written just before a close are
        // still announced and read.
        if (state.readable) {
            int waiting = pty->BytesAvailable();
            if (waiting > 0 && HasSinks()) {
                uint64_t taken = m_bytesTaken.load();
                Raise(kDispidDataArrived, DispParams{{Variant::Int32(waiting)}});
                // Nobody took them: do not announce them again at once. (A
                // host that writes fast refills the queue at once, so the
                // count of bytes waiting does not tell.)
                if (m_bytesTaken.load() == taken) pause = true;
            } else {
                pause = true;
            }
        }

        bool open = !state.hangup;
        // What a closed session did not read is not for the next one. Keyed
        // to the writes, not to the close: a short session may never be
        // seen open here.
        if (!open && m_hostInputPending.exchange(false)) pty->DiscardHostInput();
        if (open != hostOpen) {
            hostOpen = open;
            Raise(kDispidOpenStateChanged, DispParams{{Variant::Bool(open)}});
        }

        platform::PtyLineSettings now;
        if (pty->ReadLineSettings(&now, nullptr)) {
            if (haveLast && !(now == last)) Raise(kDispidSettingsChanged, DispParams{});
            last = now;
            haveLast = true;
        }

        if (!hostOpen || pause) m_wake->Wait(hostOpen ? kOpenWaitMs : kClosedPauseMs);
    }
    m_eventThreadDone = true;
}

}  // namespace varnock

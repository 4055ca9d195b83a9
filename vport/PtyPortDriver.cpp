#include "vport/PtyPortDriver.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/LinkTypes.h"
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
    binding->hostSocket = platform::LocalDatagramSocket::Bind(platform::DeviceSocketFile(link), nullptr);
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
    std::unique_ptr<Binding> binding;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        binding.swap(m_binding);
        m_bound = false;
    }
    if (!binding) return;
    // Only our own link: somebody may have put something else there since.
    platform::RemoveDeviceLinkIfTarget(binding->link, binding->pty->SlavePath());
    binding->hostSocket.reset();
    binding->lock->RemoveFile();
    // The pty closes before the lock is let go.
    binding->pty.reset();
    binding->lock.reset();
}

HRESULT PtyPortDriver::FinishBinding(int16_t value, int16_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    Binding* start = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        if (!m_binding) return S_OK;
        if (value != 0 && !m_binding->inService) {
            m_binding->inService = true;
            start = m_binding.get();
        }
    }
    if (start) StartEvents(*start);
    *result = 1;
    return S_OK;
}

HRESULT PtyPortDriver::WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) {
    if (!result) return E_POINTER;
    *result = 0;
    if (count < 0 || (count > 0 && !bytes)) return E_INVALIDARG;
    if (!m_bound) return E_UNEXPECTED;
    Output& out = *m_output;
    if (count == 0 || out.absent.load(std::memory_order_relaxed)) return S_OK;
    const int depth = m_loop.ItemDepthHere();
    // A full queue takes the bytes itself; a flush for each of them after
    // the message would cost a call per byte.
    const bool fits =
        out.queued.load(std::memory_order_relaxed) + static_cast<int64_t>(out.staged.size()) + count <=
        kOutputCap;
    const bool staging =
        fits && depth > 0 && (out.staged.empty() ? FlushAfterMessage(m_loop) : out.stagedDepth == depth);
    if (staging) {
        if (out.staged.empty()) out.stagedSession = out.session.load();
        out.stagedDepth = depth;
        if (count == 1)
            out.staged.push_back(*bytes);
        else
            out.staged.insert(out.staged.end(), bytes, bytes + count);
        *result = count;
        return S_OK;
    }
    return QueueLocked(out, bytes, count, result);
}

bool PtyPortDriver::FlushAfterMessage(platform::MessageLoop& loop) {
    std::weak_ptr<Output> weak = m_output;
    return loop.AfterCurrentItem([weak] {
        if (auto output = weak.lock()) Flush(*output);
    });
}

HRESULT PtyPortDriver::QueueLocked(Output& out, const uint8_t* bytes, int32_t count, int32_t* result) {
    const bool onLoop = m_loop.ItemDepthHere() > 0;
    std::unique_lock<std::mutex> lock(out.lock);
    // Staged bytes go first.
    if (onLoop) TakeStagedLocked(out);
    if (!out.pty || out.absent) return S_OK;
    const uint64_t session = out.session;
    // Off the loop, a call is a frame; on it, the message: its budget is
    // whole again once it has ended.
    std::chrono::steady_clock::duration callWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
    auto& waitLeft = onLoop ? out.frameWaitLeft : callWaitLeft;
    if (onLoop && !out.frameWaitArmed) {
        std::weak_ptr<Output> weak = m_output;
        out.frameWaitArmed = m_loop.AfterCurrentItem([weak] {
            if (auto output = weak.lock()) {
                std::lock_guard<std::mutex> relock(output->lock);
                output->frameWaitLeft = std::chrono::milliseconds(kFrameWaitMs);
                output->frameWaitArmed = false;
            }
        });
    }
    size_t taken = 0;
    while (taken < static_cast<size_t>(count)) {
        const size_t queued = out.bytes.size() - out.head;
        if (queued >= static_cast<size_t>(kOutputCap)) {
            // A host that has stopped reading costs one wait, not one per
            // byte; one that reads slowly, the frame's waits together.
            if (out.stalled || waitLeft <= waitLeft.zero()) break;
            if (!out.backlog) {
                out.backlog = true;
                out.wake.Signal();
            }
            const auto start = std::chrono::steady_clock::now();
            const bool room = out.room.wait_for(
                lock,
                std::min<std::chrono::steady_clock::duration>(waitLeft,
                                                              std::chrono::milliseconds(kWriteWaitMs)),
                [&] { return !out.pty || out.bytes.size() - out.head < static_cast<size_t>(kOutputCap); });
            waitLeft -= std::min(waitLeft, std::chrono::steady_clock::now() - start);
            // A host that closed meanwhile is given nothing more.
            if (!out.pty || out.absent || out.session != session) break;
            out.stalled = !room;
            continue;
        }
        const size_t n = std::min(static_cast<size_t>(count) - taken, kOutputCap - queued);
        out.bytes.insert(out.bytes.end(), bytes + taken, bytes + taken + n);
        taken += n;
    }
    out.queued = static_cast<int64_t>(out.bytes.size() - out.head);
    *result = static_cast<int32_t>(taken);
    // A backlog is the writer's; otherwise a flush is asked for once.
    const bool ask = out.queued > 0 && !out.flushDue && !out.backlog;
    if (ask) out.flushDue = true;
    lock.unlock();
    if (ask && !(onLoop && FlushAfterMessage(m_loop))) out.wake.Signal();
    return S_OK;
}

HRESULT PtyPortDriver::QueryOutputQueue(int32_t* room, uint64_t* taken) {
    if (!room || !taken) return E_POINTER;
    const int64_t queued = m_output->queued.load();
    *room = queued < kOutputCap ? kOutputCap - static_cast<int32_t>(queued) : 0;
    *taken = m_output->taken.load();
    return S_OK;
}

void PtyPortDriver::DropLocked(Output& out) {
    ++out.session;
    out.bytes.clear();
    // A long backlog's room goes back.
    if (out.bytes.capacity() > 64 * 1024) out.bytes.shrink_to_fit();
    out.head = 0;
    out.queued = 0;
    out.stalled = false;
    out.room.notify_all();
}

void PtyPortDriver::EndSessionLocked(Output& out) {
    DropLocked(out);
    out.absent = true;
}

void PtyPortDriver::StartOutputSession(platform::Pty& pty) {
    std::lock_guard<std::mutex> lock(m_output->lock);
    if (!m_output->absent || !pty.SlaveOpen()) return;
    DropLocked(*m_output);
    m_output->absent = false;
}

bool PtyPortDriver::FlushLocked(Output& out) {
    out.flushDue = false;
    if (out.head == out.bytes.size()) return false;
    if (!out.pty || out.absent) {
        DropLocked(out);
        return false;
    }
    const uint8_t* from = out.bytes.data() + out.head;
    const int queued = static_cast<int>(out.bytes.size() - out.head);
    // The host that was to read them has gone.
    const int n = out.pty->SlaveOpen() ? out.pty->Write(from, queued, 0) : -1;
    if (n < 0) {
        EndSessionLocked(out);
        return false;
    }
    if (n == 0) return true;
    out.head += static_cast<size_t>(n);
    out.queued -= n;
    out.taken += static_cast<uint64_t>(n);
    out.stalled = false;
    out.room.notify_all();
    if (out.head == out.bytes.size()) {
        out.bytes.clear();
        out.head = 0;
        return false;
    }
    // What was written goes once it is a good part of the queue.
    if (out.head >= out.bytes.size() / 2) {
        out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<long>(out.head));
        out.head = 0;
    }
    return true;
}

void PtyPortDriver::TakeStagedLocked(Output& out) {
    // Staged for a session that has ended since, or for a port out of service.
    if (out.pty && !out.absent && out.stagedSession == out.session)
        out.bytes.insert(out.bytes.end(), out.staged.begin(), out.staged.end());
    out.staged.clear();
    out.queued = static_cast<int64_t>(out.bytes.size() - out.head);
}

void PtyPortDriver::Flush(Output& out) {
    std::lock_guard<std::mutex> lock(out.lock);
    TakeStagedLocked(out);
    if (FlushLocked(out) && !out.backlog) {
        out.backlog = true;
        out.wake.Signal();
    }
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
    if (!pty.ReadLineSettings(&s, nullptr)) return false;
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
    platform::Error error;
    if (!m_binding->pty->ReadLineSettings(&s, &error)) return HresultFromErrno(error.SystemCode());
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

void PtyPortDriver::StartEvents(Binding& binding) {
    m_wake = std::make_unique<platform::WakeEvent>();
    m_settingsNews = std::make_unique<platform::WakeEvent>();
    m_stopEvents = false;
    m_eventThreadDone = false;
    // Changes are reported from the moment the port is in service.
    LineValues initial;
    bool known = Succeeded(QueryValues(&initial));
    {
        std::lock_guard<std::mutex> lock(m_output->lock);
        m_output->pty = binding.pty.get();
    }
    // Watched from now on: a host that opens and closes before the threads
    // run is still seen.
    using platform::NodeWatch;
    auto opens = NodeWatch::Create(binding.pty->SlavePath(), NodeWatch::Event::Open);
    auto closes = NodeWatch::Create(binding.pty->SlavePath(), NodeWatch::Event::Close);
    m_eventThread =
        std::thread(&PtyPortDriver::EventThread, this, binding.pty.get(), known, initial, std::move(opens));
    m_lineThread = std::thread(&PtyPortDriver::LineThread, this, binding.pty.get(), binding.hostSocket.get(),
                               binding.name, std::move(closes));
    m_writerThread = std::thread(&PtyPortDriver::WriterThread, this);
}

void PtyPortDriver::RenewPty() {
    if (!m_eventThread.joinable()) return;
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
    Binding* binding = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(m_bindingLock);
        if (!m_binding) return;
        Binding& b = *m_binding;
        auto pty = platform::Pty::Create(nullptr);
        if (pty && pty->TakeSettingsFrom(*b.pty) &&
            platform::RemoveDeviceLinkIfTarget(b.link, b.pty->SlavePath())) {
            // Another process may have taken the name meanwhile: the port
            // then has no name any more, as when its link is removed by hand.
            if (platform::CreateDeviceLink(b.link, pty->SlavePath()) == platform::Error::None)
                b.pty = std::move(pty);
        }
        binding = &b;
    }
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        m_published = published;
        m_haveHostLine = haveHostLine;
        m_hostLine = hostLine;
        m_hostKept = hostKept;
    }
    StartEvents(*binding);
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
    m_lineThread.join();
    m_writerThread.join();
    {
        std::lock_guard<std::mutex> lock(m_output->lock);
        EndSessionLocked(*m_output);
        m_output->pty = nullptr;
        m_output->backlog = false;
        m_output->flushDue = false;
    }
    m_wake.reset();
    m_settingsNews.reset();
    EndHostSession();
    std::lock_guard<std::mutex> lock(m_hostLock);
    m_published.reset();
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

void PtyPortDriver::EventThread(platform::Pty* pty, bool haveLast, LineValues last,
                                std::unique_ptr<platform::NodeWatch> opens) {
    bool hostOpen = false;
    // While the host has the port closed, its next open (or a stop, or news
    // of its settings) ends the pause; without the watch, look now and then.
    if (!m_wake->ok() || !m_settingsNews->ok()) opens.reset();
    const int openFds[] = {opens ? opens->fd() : -1, m_wake->fd(), m_settingsNews->fd()};

    while (!m_stopEvents) {
        // While the host has the port closed the pty reports hang-up at
        // once, so only look; the pause below keeps the thread from spinning.
        platform::PtyWaitResult state = pty->Wait(hostOpen ? kOpenWaitMs : 0, m_wake.get(),
                                                  platform::PtyWatch::Data, m_settingsNews->fd());
        if (m_stopEvents) break;
        if (state.other) m_settingsNews->Clear();
        bool pause = false;
        // Replies to what the host sends are for its session.
        if (!state.hangup && m_output->absent.load()) StartOutputSession(*pty);

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

        // What a closed session did not read goes at its close: here, or in
        // the session thread when that sees the close first. Looked at again
        // under the lock: the session thread's brief open of its own is no
        // host.
        bool open = !state.hangup && SlaveOpenNow(*pty);
        if (open != hostOpen) {
            hostOpen = open;
            // The session is over before anybody hears of it.
            if (!open) PrepareOutputSession(*pty);
            Raise(kDispidOpenStateChanged, DispParams{{Variant::Bool(open)}});
        }

        LineValues now;
        if (ReadValues(*pty, &now) && !(haveLast && now == last)) {
            {
                std::lock_guard<std::mutex> lock(m_hostLock);
                m_published = now;
            }
            if (haveLast) Raise(kDispidSettingsChanged, DispParams{});
            last = now;
            haveLast = true;
        }

        // Bytes the host wrote before its close are announced until taken.
        if (!hostOpen && opens && !state.readable) {
            platform::WaitReadable(openFds, 3, -1);
            opens->Take();
        } else if (!hostOpen || pause) {
            m_wake->Wait(hostOpen ? kOpenWaitMs : kClosedPauseMs);
        }
    }
    m_eventThreadDone = true;
}

void PtyPortDriver::LineThread(platform::Pty* pty, platform::LocalDatagramSocket* socket, std::string name,
                               std::unique_ptr<platform::NodeWatch> watch) {
    const uint32_t pts = PtsNumber(pty->SlavePath());
    const int socketFd = socket ? socket->fd() : -1;
    // Woken by every close of the slave, so that the next session is
    // prepared before a quick next opener sets its own settings. Without
    // the watch, look now and then, and prepare once while closed.
    const int fds[] = {watch ? watch->fd() : -1, socketFd, m_wake->fd()};
    bool prepared = false;
    while (!m_stopEvents) {
        platform::WaitReadable(fds, 3, watch && m_wake->ok() ? -1 : kClosedPauseMs);
        if (m_stopEvents) break;
        // Looked at in this order: a message of a session that closes in
        // between is still seen as its session's.
        const bool open = pty->SlaveOpen();
        const bool closed = watch ? watch->Take() : !open && !prepared;
        if (open) prepared = false;
        // What a session sent before its close belongs to it; what comes
        // while nobody has the port open counts for nobody.
        if (socket) TakeHostMessages(*pty, socket, name, pts, open || closed);
        if (!closed) continue;
        // Opened again before this thread got here, the new session goes on
        // from the last one's settings, and with what waits for it.
        if (PrepareOutputSession(*pty)) {
            prepared = true;
            // The brief open of our own is no host's.
            if (watch) watch->Take();
            m_settingsNews->Signal();
        }
    }
}

bool PtyPortDriver::PrepareOutputSession(platform::Pty& pty) {
    std::lock_guard<std::mutex> lock(m_output->lock);
    platform::Pty::KeptSettings before, after;
    const bool read = pty.ReadKeptSettings(&before);
    bool refused = false;
    if (!pty.PrepareNextSession(&refused)) return false;
    EndSessionLocked(*m_output);
    // Once, on the main thread, which may stop this thread.
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
    if (read && m_haveHostLine && before == m_hostKept && pty.ReadKeptSettings(&after)) m_hostKept = after;
    return true;
}

bool PtyPortDriver::SlaveOpenNow(platform::Pty& pty) {
    std::lock_guard<std::mutex> lock(m_output->lock);
    return pty.SlaveOpen();
}

void PtyPortDriver::WriterThread() {
    Output& out = *m_output;
    platform::Pty* pty = nullptr;
    {
        std::lock_guard<std::mutex> lock(out.lock);
        pty = out.pty;
    }
    while (!m_stopEvents) {
        bool left = false;
        {
            std::lock_guard<std::mutex> lock(out.lock);
            left = FlushLocked(out);
            out.backlog = left;
        }
        // Hang-up also ends the wait for room: the next flush drops the bytes.
        platform::PtyWaitResult woke = pty->Wait(
            -1, &out.wake, left ? platform::PtyWatch::Room : platform::PtyWatch::None, m_wake->fd());
        if (woke.woken) out.wake.Clear();
    }
}

void PtyPortDriver::TakeHostMessages(platform::Pty& pty, platform::LocalDatagramSocket* socket,
                                     const std::string& name, uint32_t pts, bool take) {
    using hostline::MessageKind;
    // The pty is looked at as the next session's readying leaves it.
    std::lock_guard<std::mutex> outputLock(m_output->lock);
    // Bounded: a flood cannot keep the thread from the host's close.
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
        bool changed = false;
        {
            std::lock_guard<std::mutex> lock(m_hostLock);
            if (message.kind == MessageKind::Set && take && read) {
                m_hostLine = message;
                m_hostKept = kept;
                changed = m_haveHostLine = true;
            }
            // Every process's read-back agrees with what the bridge forwards.
            state.known = m_haveHostLine && read && kept == m_hostKept;
            if (state.known) {
                state.dataBits = m_hostLine.dataBits;
                state.parity = m_hostLine.parity;
            }
        }
        if (changed) m_settingsNews->Signal();
        uint8_t wire[hostline::kMessageSize];
        if (hostline::EncodeLineMessage(state, wire)) socket->Answer(sender, wire, sizeof(wire));
    }
}

void PtyPortDriver::EndHostSession() {
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        if (!m_haveHostLine) return;
        m_haveHostLine = false;
    }
    if (m_settingsNews) m_settingsNews->Signal();
}

}  // namespace varnock

#pragma once
// The host software's side of a virtual port, a channel that records what
// its port's events do, and a driver that records the calls made on it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "vport/DriverInterface.h"
#include "vport/VirtualPortOwner.h"

namespace varnock::test {

// Opens the port as host software would (the port starts in raw mode).
class HostPort {
public:
    explicit HostPort(const std::filesystem::path& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~HostPort() { Close(); }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // Changes the line settings; returns tcsetattr's result.
    int SetLine(speed_t speed, tcflag_t set, tcflag_t clear) {
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        tio.c_cflag = (tio.c_cflag & ~clear) | set;
        return ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    bool Write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            pollfd p{m_fd, POLLOUT, 0};
            ssize_t n =
                ::poll(&p, 1, 2000) > 0 ? ::write(m_fd, bytes.data() + done, bytes.size() - done) : -1;
            if (n < 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until `count` bytes came or `timeoutMs` passed without any.
    std::string Read(size_t count, int timeoutMs = 2000) {
        std::string got;
        char buffer[4096];
        while (got.size() < count) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int m_fd;
};

class TestOwner : public VirtualPortOwner {
public:
    std::atomic<bool> connected{true};
    std::atomic<int> closed{-1};  // -1: never set
    std::atomic<int> syncs{0};
    std::atomic<int> unprocessed{0};

    bool IsConnected() const override { return connected; }
    void QueueLDRData(int length, const char* bytes) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocks.emplace_back(bytes, static_cast<size_t>(length > 0 ? length : 0));
        unprocessed = 1;
    }
    void SetVirtualPortClosed(int value) override { closed = value; }
    void SyncCommParams() override { ++syncs; }

    std::vector<std::string> Blocks() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_blocks;
    }
    std::string Joined() const {
        std::string all;
        for (const std::string& b : Blocks()) all += b;
        return all;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_blocks;
};

// Records every call; the test owns it (a release never deletes it).
class RecordingDriver : public VirtualPortDriver {
public:
    std::vector<std::string> calls;
    std::vector<const uint8_t*> writeAddresses;
    VARIANT_BOOL bindResult = VARIANT_TRUE;
    VARIANT_BOOL fallbackResult = VARIANT_FALSE;
    std::string failCall;  // this call returns E_FAIL
    HRESULT adviseResult = S_OK;
    std::string readData;
    int32_t readResult = -1;  // when set, what ReadBytes reports
    DriverEventDispatch* sink = nullptr;
    std::atomic<int> refs{0};

    ~RecordingDriver() override {
        if (sink) sink->Release();
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }

    HRESULT BindPort(const std::string& name, VARIANT_BOOL* b) override {
        return Note("BindPort " + name, b, bindResult);
    }
    HRESULT BindPortFallback(const std::string& name, VARIANT_BOOL* b) override {
        return Note("BindPortFallback " + name, b, fallbackResult);
    }
    HRESULT PrepareBinding(VARIANT_BOOL* r) override { return Note("PrepareBinding", r, VARIANT_TRUE); }
    HRESULT FinishBinding(int16_t value, int16_t* r) override {
        return Note("FinishBinding " + std::to_string(value), r, int16_t{1});
    }
    HRESULT WriteBytes(const uint8_t* bytes, int32_t count, int32_t* r) override {
        writeAddresses.push_back(bytes);
        return Note("WriteBytes " + std::to_string(count), r, 1);
    }
    HRESULT ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) override {
        size_t n = std::min(readData.size(), static_cast<size_t>(*count));
        readData.copy(reinterpret_cast<char*>(buffer), n);
        readData.erase(0, n);
        return Note("ReadBytes " + std::to_string(*count), read, readResult >= 0 ? readResult : int32_t(n));
    }
    HRESULT QueryParity(int32_t* v) override { return Note("QueryParity", v, 1); }
    HRESULT QueryStopBits(int32_t* v) override { return Note("QueryStopBits", v, 2); }
    HRESULT QueryByteSize(int32_t* v) override { return Note("QueryByteSize", v, 7); }
    HRESULT QueryBaudRate(int32_t* v) override { return Note("QueryBaudRate", v, 19200); }
    HRESULT Advise(const Guid&, DriverEventDispatch* s, uint32_t* cookie) override {
        calls.push_back("Advise");
        if (Failed(adviseResult)) return adviseResult;
        if (sink) sink->Release();
        sink = s;
        sink->AddRef();
        *cookie = 42;
        return S_OK;
    }
    HRESULT Unadvise(const Guid&, uint32_t cookie) override {
        calls.push_back("Unadvise " + std::to_string(cookie));
        if (sink) sink->Release();
        sink = nullptr;
        return S_OK;
    }

private:
    template <typename T, typename V>
    HRESULT Note(const std::string& call, T* out, V value) {
        calls.push_back(call);
        *out = static_cast<T>(value);
        return call.rfind(failCall, 0) == 0 && !failCall.empty() ? E_FAIL : S_OK;
    }
};

class RecordingClass : public DriverClassFactory {
public:
    explicit RecordingClass(RecordingDriver* driver) : m_driver(driver) {}
    HRESULT CreateInstance(const DriverOptions&, VirtualPortDriver** driver) override {
        if (!m_driver) return E_FAIL;
        m_driver->AddRef();
        *driver = m_driver;
        return S_OK;
    }

private:
    RecordingDriver* m_driver;
};

}  // namespace varnock::test

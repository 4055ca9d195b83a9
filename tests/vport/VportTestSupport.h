#pragma once
// A channel that records what its port's events do, and a driver that
// records the calls made on it; the host software's side of a port.
#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/HostPort.h"
#include "vport/DriverInterface.h"
#include "vport/VirtualPortOwner.h"

namespace varnock::test {

class TestOwner : public VirtualPortOwner {
public:
    std::atomic<bool> connected{true};
    std::atomic<bool> full{false};
    std::atomic<int> closed{-1};  // -1: never set
    std::atomic<int> syncs{0};

    bool IsConnected() const override { return connected; }
    bool LDRQueueFull() const override { return full; }
    void QueueLDRData(int length, const char* bytes) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocks.emplace_back(bytes, length > 0 ? static_cast<size_t>(length) : 0);
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

// Records every call; the test owns it (a release never deletes it). Its
// class object hands it out.
class RecordingDriver : public VirtualPortDriver, public DriverClassFactory {
public:
    std::vector<std::string> calls;
    std::string written;
    VARIANT_BOOL bindResult = VARIANT_TRUE;
    VARIANT_BOOL fallbackResult = VARIANT_FALSE;
    std::string failCall;  // this call returns E_FAIL
    std::string readData;
    int32_t readResult = -1;  // when set, what ReadBytes reports
    DriverEventDispatch* sink = nullptr;
    std::atomic<int> refs{0};

    ~RecordingDriver() override {
        if (sink) sink->Release();
    }
    HRESULT CreateInstance(const DriverOptions&, VirtualPortDriver** driver) override {
        *driver = this;
        return AddRef(), S_OK;
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
        return Note("FinishBinding " + std::to_string(value), r, 1);
    }
    HRESULT WriteBytes(const uint8_t* bytes, int32_t count, int32_t* r) override {
        written.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
        return Note("WriteBytes " + std::to_string(count), r, 1);
    }
    HRESULT ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) override {
        size_t n = readData.copy(reinterpret_cast<char*>(buffer), static_cast<size_t>(*count));
        readData.erase(0, n);
        return Note("ReadBytes " + std::to_string(*count), read, readResult >= 0 ? readResult : int32_t(n));
    }
    HRESULT QueryParity(int32_t* v) override { return Note("QueryParity", v, 1); }
    HRESULT QueryStopBits(int32_t* v) override { return Note("QueryStopBits", v, 2); }
    HRESULT QueryByteSize(int32_t* v) override { return Note("QueryByteSize", v, 7); }
    HRESULT QueryBaudRate(int32_t* v) override { return Note("QueryBaudRate", v, 19200); }
    HRESULT Advise(const Guid&, DriverEventDispatch* s, uint32_t* cookie) override {
        calls.push_back("Advise");
        if (failCall == "Advise") return E_FAIL;
        if (sink) sink->Release();
        (sink = s)->AddRef();
        *cookie = 42;
        return S_OK;
    }
    HRESULT Unadvise(const Guid&, uint32_t cookie) override {
        calls.push_back("Unadvise " + std::to_string(cookie));
        if (DriverEventDispatch* old = std::exchange(sink, nullptr)) old->Release();
        return S_OK;
    }

private:
    template <typename T, typename V>
    HRESULT Note(const std::string& call, T* out, V value) {
        calls.push_back(call);
        *out = static_cast<T>(value);
        return !failCall.empty() && call.rfind(failCall, 0) == 0 ? E_FAIL : S_OK;
    }
};

}  // namespace varnock::test

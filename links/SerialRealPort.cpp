#include "links/SerialRealPort.h"

#include <new>
#include <vector>

#include "platform/Clock.h"
#include "platform/Paths.h"

namespace varnock {

using platform::Error;
using platform::SerialState;
using platform::SerialTimeouts;

SerialRealPort::SerialRealPort() : SerialRealPort(std::make_unique<platform::SerialLine>()) {}

SerialRealPort::SerialRealPort(std::unique_ptr<platform::SerialLine> line) : m_line(std::move(line)) {}

// The line closes with the object, so a link deleted without Close does not
// keep the port locked for the rest of the process.
SerialRealPort::~SerialRealPort() = default;

int SerialRealPort::GetCommState(SerialState& state) {
    return m_line->GetState(state) == Error::None ? 1 : 0;
}

OpenResult SerialRealPort::Open(const ChannelConfig& config) {
    if (m_line->IsOpen()) Close();

    OpenResult result = OPEN_FAILED;
    // "\\.\" + name, as ports above COM9 need; the name resolves in the
    // device directory, else under /dev.
    auto path = platform::ResolveDeviceName("\\\\.\\" + config.m_strLinkPort);
    Error error = m_line->Open(path);
    if (error == Error::None) {
        m_hDevice = m_line->Fd();

        SerialState dcb;
        GetCommState(dcb);
        dcb.outxCtsFlow = false;
        dcb.outxDsrFlow = false;
        dcb.dtrControl = platform::LineControl::Handshake;
        dcb.outX = false;
        dcb.inX = false;
        dcb.rtsControl = platform::LineControl::Handshake;
        dcb.baudRate = static_cast<uint32_t>(config.m_nBaudRate);
        dcb.parity = static_cast<uint8_t>(config.m_byParity);
        dcb.byteSize = config.m_byDataBits;
        dcb.stopBits = static_cast<uint8_t>(config.m_byStopBits);

        m_line->PurgeInput();
        m_line->PurgeOutput();
        m_line->ClearError();

        // The tty layer sizes its own queues (kQueueSize has no equivalent).
        error = m_line->SetState(dcb);
        if (error == Error::None) result = OPEN_OK;
    }
    SetFailure({error, LinkFailure::Target::Device, path.string()});
    return result;
}

int SerialRealPort::ResetLine() {
    SerialState unchanged;
    SerialState changed;
    GetCommState(unchanged);
    GetCommState(changed);
    changed.dtrControl = platform::LineControl::Disable;
    changed.rtsControl = platform::LineControl::Disable;
    changed.outxCtsFlow = false;
    changed.outxDsrFlow = false;
    if (m_line->SetState(changed) != Error::None) return 0;

    m_line->SetDtr(false);
    m_line->SetBreak(true);
    platform::Sleep(kBreakMs);
    m_line->SetBreak(false);
    platform::Sleep(kAfterBreakMs);
    m_line->SetDtr(true);

    m_line->SetState(unchanged);
    return m_line->ClearError() == Error::None ? 1 : 0;
}

int SerialRealPort::Configure(const ChannelConfig& config) {
    SerialState dcb;
    int result = GetCommState(dcb);
    if (result != 1) return result;
    dcb.baudRate = static_cast<uint32_t>(config.m_nBaudRate);
    dcb.parity = static_cast<uint8_t>(config.m_byParity);
    dcb.byteSize = config.m_byDataBits;
    dcb.stopBits = static_cast<uint8_t>(config.m_byStopBits);
    return m_line->SetState(dcb) == Error::None ? 1 : 0;
}

int SerialRealPort::Close() {
    if (m_line->IsOpen()) m_line->Close();
    m_hDevice = INVALID_HANDLE_VALUE;
    return 1;
}

int SerialRealPort::Purge(uint8_t which) {
    switch (which) {
        case PURGE_BOTH:
            m_line->PurgeOutput();
            m_line->PurgeInput();
            return 1;
        case PURGE_OUTPUT:
            m_line->PurgeOutput();
            return 1;
        case PURGE_INPUT:
            m_line->PurgeInput();
            return 1;
        default:
            return 0;
    }
}

void SerialRealPort::ApplyTimeoutRule(SerialTimeouts& timeouts) {
    if (timeouts.readTotalTimeoutConstant == 0) timeouts.readTotalTimeoutConstant = kDefaultReadTimeoutMs;
    if (timeouts.writeTotalTimeoutMultiplier == 0)
        timeouts.writeTotalTimeoutMultiplier = kWriteTimeoutPerByteMs;
    m_line->SetTimeouts(timeouts);
}

int SerialRealPort::Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) {
    received = 0;
    SerialState dcb;
    int result = GetCommState(dcb);
    if (result != 1 || count <= 0) return result;
    std::vector<uint8_t> transfer;
    try {
        transfer.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return result;
    }

    SerialTimeouts timeouts;
    m_line->GetTimeouts(timeouts);
    timeouts.readIntervalTimeout = 0;
    timeouts.readTotalTimeoutConstant = timeoutMs;
    ApplyTimeoutRule(timeouts);

    Error e = m_line->Read(transfer.data(), count, received);
    buffer.Append(transfer.data(), static_cast<int>(received));
    // A line that went away during the read is lost, not merely quiet.
    return e.IsLost() ? 0 : 1;
}

int SerialRealPort::Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) {
    sent = 0;
    m_line->PurgeInput();
    SerialState dcb;
    int result = GetCommState(dcb);
    if (result != 1) return result;
    // Never past the end of the caller's buffer.
    if (count > buffer.GetSize()) count = buffer.GetSize();
    if (count < 0) count = 0;
    std::vector<uint8_t> transfer(buffer.data(), buffer.data() + count);

    int modem = 0;
    if (m_line->ModemStatus(modem) != Error::None || !(modem & platform::MODEM_CTS)) {
        // A PLC that does not raise CTS counts as absent.
        m_line->PurgeOutput();
        return 0;
    }

    SerialTimeouts timeouts;
    m_line->GetTimeouts(timeouts);
    timeouts.writeTotalTimeoutConstant = timeoutMs;
    timeouts.writeTotalTimeoutMultiplier = 0;
    ApplyTimeoutRule(timeouts);

    Error e = m_line->Write(transfer.data(), count, sent);
    return e.IsLost() ? 0 : 1;
}

}  // namespace varnock

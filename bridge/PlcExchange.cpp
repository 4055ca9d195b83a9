// The channel's exchange with the PLC: one request and its reply, the
// commands built on it, and connect and disconnect. All on the main thread.
#include <chrono>
#include <thread>

#include "bridge/BridgeChannel.h"
#include "bridge/FrameTrace.h"
#include "common/Messages.h"
#include "links/PlcProtocol.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/StopSignals.h"
#include "settings/SettingsManager.h"
#include "vport/VirtualPort.h"

namespace varnock {

namespace {

// Disconnect waits this long for the channel to become idle; its threads
// end on their own once it is not connected, unless the PLC is never silent.
constexpr uint32_t kIdleWaitMs = 30000;
// While the process stops, only this long: a reply phase that is not over
// by then is ended.
constexpr uint32_t kIdleWaitStoppingMs = 200;
// A reply phase told to end does so within one read slice; the limit only
// keeps a link operation that hangs from holding the disconnect for ever.
constexpr uint32_t kEndPhaseWaitMs = 2000;

bool IsSerial(const ChannelConfig* config) {
    return config && config->m_nLinkType == LinkType::Serial;
}

// Connect and disconnect run for every channel one after another: their
// commands' replies are taken as they come, not at the read's next look.
class RepliesWhole {
public:
    explicit RepliesWhole(RealPortRegistry& holder) : m_holder(holder) { m_holder.AwaitRepliesWhole(true); }
    ~RepliesWhole() { m_holder.AwaitRepliesWhole(false); }
    RepliesWhole(const RepliesWhole&) = delete;
    RepliesWhole& operator=(const RepliesWhole&) = delete;

private:
    RealPortRegistry& m_holder;
};

}  // namespace

bool BridgeChannel::ReadSerialReply(ByteArray& reply, int expected) {
    uint32_t got = 0;
    if (m_linkHolder.Read(reply, expected, &got, kLinkTimeoutMs) != 1 || reply.GetSize() < expected)
        return false;
    // Stuffed DLE pairs collapse as they come, so that the count of bytes
    // still missing is right.
    plc::Unstuffer unstuffer;
    for (;;) {
        unstuffer.Collapse(reply.bytes());
        if (reply.GetSize() >= expected) return true;
        int missing = expected - reply.GetSize();
        got = 0;
        if (m_linkHolder.Read(reply, missing, &got, kLinkTimeoutMs) != 1 || static_cast<int>(got) < missing) {
            return false;
        }
    }
}

int BridgeChannel::Exchange(ByteArray& request, int replyLength) {
    m_pCodec->Encode(request);
    TraceFrame(*this, TraceDirection::ToPlc, request);
    bool serial = IsSerial(m_pConfig.get());
    int expected = replyLength + plc::kHeadersSize + (serial ? plc::kSerialFramingSize : 0);
    m_replyData.RemoveAll();

    uint32_t written = 0;
    int result = m_linkHolder.Write(request, request.GetSize(), &written, kLinkTimeoutMs) == 1 &&
                         static_cast<int>(written) == request.GetSize()
                     ? 1
                     : 0;
    if (replyLength > 0) {
        if (result == 1) {
            ByteArray reply;
            bool complete;
            if (serial) {
                complete = ReadSerialReply(reply, expected);
            } else {
                uint32_t got = 0;
                complete = m_linkHolder.Read(reply, expected, &got, kLinkTimeoutMs) == 1 &&
                           reply.GetSize() == expected;
            }
            TraceFrame(*this, TraceDirection::FromPlc, reply);
            result = complete ? m_pCodec->Decode(reply) : 0;
            if (result == 1) {
                int n = std::min(replyLength, reply.GetSize());
                m_replyData.Append(reply.data(), n);
            }
        }
    }
    request.RemoveAll();
    return result;
}

int BridgeChannel::SendConnectCommand(int disconnect) {
    m_requestData = plc::ConnectCommand(disconnect != 0);
    if (Exchange(m_requestData, plc::kConnectReplySize) != 1) {
        platform::ShowMessage(kMsgNoCommandReply, platform::kMbIconError);
        if (IsSerial(m_pConfig.get())) SendBaudRateCommand(9600);
        CloseLink();
        return 0;
    }
    return plc::ConnectReplyOk(m_replyData, disconnect != 0) ? 1 : 0;
}

int BridgeChannel::SendCommParams(int force) {
    // The send thread waits while this is set; cleared on every way out.
    struct Configuring {
        std::atomic<int>& flag;
        ~Configuring() { flag = 0; }
    } configuring{m_bConfiguring};
    m_bConfiguring = 1;
    if (force == 0) {
        // No settings to compare with (no port, or a driver call failed):
        // nothing is sent.
        if (!m_pVirtualPort) return 0;
        const auto baud = m_pVirtualPort->GetBaudRate();
        const auto dataBits = m_pVirtualPort->GetByteSize();
        const auto parity = m_pVirtualPort->GetParity();
        const auto stopBits = m_pVirtualPort->GetStopBits();
        if (!baud || !dataBits || !parity || !stopBits) return 0;
        ChannelConfig now;
        now.m_nBaudRate = *baud;
        now.m_byDataBits = static_cast<uint8_t>(*dataBits);
        now.m_byParity = static_cast<Parity>(static_cast<uint8_t>(*parity));
        now.m_byStopBits = static_cast<StopBits>(static_cast<uint8_t>(*stopBits));
        if (now.m_nBaudRate == m_commParams.m_nBaudRate && now.m_byDataBits == m_commParams.m_byDataBits &&
            now.m_byParity == m_commParams.m_byParity && now.m_byStopBits == m_commParams.m_byStopBits) {
            return 1;
        }
        m_commParams.m_nBaudRate = now.m_nBaudRate;
        m_commParams.m_byDataBits = now.m_byDataBits;
        m_commParams.m_byParity = now.m_byParity;
        m_commParams.m_byStopBits = now.m_byStopBits;
    }

    m_requestData = plc::SerialParametersCommand(m_commParams);
    int result = ExchangeControlCommand(plc::kControlReplySize);
    if (result == 1) result = plc::SerialParametersReplyOk(m_replyData);
    return result;
}

int BridgeChannel::ExchangeControlCommand(int replyLength) {
    m_pCodec->SetHeaderByte1(1, plc::kControlHeader.byte1);
    m_pCodec->SetHeaderByte2(1, plc::kControlHeader.byte2);
    int result = Exchange(m_requestData, replyLength);
    m_pCodec->SetHeaderByte1(0, 0);
    m_pCodec->SetHeaderByte2(0, 0);
    return result;
}

int BridgeChannel::SendBaudRateCommand(int baudRate) {
    m_requestData = plc::LineSpeedCommand(baudRate);
    m_pCodec->SetHeaderByte2(1, plc::kLineSpeedHeader.byte2);
    int result = Exchange(m_requestData, plc::kLineSpeedReplySize);
    m_pCodec->SetHeaderByte2(0, 0);
    if (result == 1) result = plc::LineSpeedReplyOk(m_replyData);
    if (result == 1 && m_pConfig) {
        m_pConfig->m_nBaudRate = baudRate;
        m_linkHolder.Configure(m_pConfig.get());
    }
    return result;
}

int BridgeChannel::SendProbe() {
    m_requestData = plc::ProbeCommand();
    int result = ExchangeControlCommand(plc::kControlReplySize);
    if (result == 1) result = plc::ProbeReplyOk(m_replyData);
    return result;
}

int BridgeChannel::ConnectChannel() {
    if (!m_pConfig) return 0;
    if (m_pSettings) {
        int n = m_pSettings->GetItemCount();
        for (int i = 0; i < n; ++i) {
            AllocationRow* row = m_pSettings->GetRow(i);
            if (!row || row->m_strVirtualPort != m_pConfig->m_strVirtualPort) continue;
            m_pConfig->m_nLinkType = row->m_nLinkType;
            m_pConfig->m_strLinkPort = row->m_strLinkPort;
            m_pConfig->m_bNoConnectCommand = row->m_bNoConnectCommand;
            if (row->m_nLinkType == LinkType::Ethernet) m_pConfig->m_strIPAddress = row->m_strIPAddress;
            break;
        }
        m_pSettings->ReadCommunicationSettings(&m_commParams);
    }
    // What was left from the last connection does not belong to this one.
    m_bCommParamsPending = 0;
    m_bEndReplyPhase = 0;
    const LinkType type = m_pConfig->m_nLinkType;
    m_nLinkType = type;
    bool serial = type == LinkType::Serial;
    m_pCodec->SetLinkFraming(type == LinkType::Usb        ? plc::Framing::Usb
                             : type == LinkType::Ethernet ? plc::Framing::Ethernet
                                                          : plc::Framing::Serial);

    RepliesWhole whole(m_linkHolder);
    const OpenResult opened = m_linkHolder.Open(m_pConfig.get());
    m_strConnectFailure = ReasonLine(m_linkHolder.OpenFailure());
    if (!m_strConnectFailure.empty())
        TraceNote(*this, m_pConfig->m_strLinkPort + " not opened. " + m_strConnectFailure);
    int result = static_cast<int>(opened);
    if (opened == RealPort::OPEN_OK) {
        if (serial) m_linkHolder.ResetLine();
        int ok = 1;
        int rate = PlcBaudRate();
        if (rate != 9600 && serial) {
            ok = SendBaudRateCommand(rate);
            // A stop of the process need not wait for the PLC to settle.
            for (int left = std::max(0, WaitAfterACCommand_ACK()); left > 0 && !platform::StopRequested();
                 left -= 10) {
                platform::Sleep(static_cast<uint32_t>(std::min(left, 10)));
            }
        }
        if (ok == 1) ok = SendCommParams(1);
        if (!m_pConfig->m_bNoConnectCommand) ok = ok == 1 ? SendConnectCommand(0) : 0;
        result = ok;
        if (result == 0) CloseLink();
    } else {
        // The holder keeps the link object of a failed open, which may still
        // hold its device for exclusive use.
        CloseLink();
        if (opened != RealPort::OPEN_FAILED) return result;
    }
    // A connect cut short by a stop of the process says nothing about the port.
    if (result == 0 && !platform::StopRequested())
        platform::ShowMessage(kMsgPortNotOpened, platform::kMbIconWarning, m_pConfig->m_strLinkPort,
                              m_strConnectFailure);
    if (result == 1) {
        m_bConnected = 1;
        WakeMonitor();
    }
    return result;
}

bool BridgeChannel::WaitForIdle(uint32_t limitMs) {
    // The channel's threads may be waiting for the main thread right now
    // (a block to send, a frame to deliver, a probe): serve them meanwhile.
    auto& loop = platform::MessageLoop::Main();
    const uint32_t start = platform::GetTickCount();
    for (;;) {
        if (m_bIdle.load() == 1) return true;
        uint32_t waited = platform::GetTickCount() - start;
        if (waited >= limitMs || (platform::StopRequested() && waited >= kIdleWaitStoppingMs)) return false;
        if (loop.IsLoopThread())
            loop.Pump(std::chrono::milliseconds(15));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
}

int BridgeChannel::DisconnectChannel() {
    m_bConnected = 0;
    // Ends the probing, which holds the channel busy.
    WakeMonitor();
    // Saying goodbye on a link that the receive thread still reads would
    // hand the reply to the wrong reader: a PLC that never falls silent has
    // its reply phase ended, and no disconnect command.
    const bool phaseEnded = WaitForIdle(kIdleWaitMs);
    if (!phaseEnded) {
        m_bEndReplyPhase = 1;
        WaitForIdle(kEndPhaseWaitMs);
    }
    if (!m_linkHolder.IsOpen()) return 0;
    if (IsSerial(m_pConfig.get())) {
        m_linkHolder.ResetLine();
        m_pConfig->m_nBaudRate = 9600;
        m_linkHolder.Configure(m_pConfig.get());
    }
    int result = phaseEnded ? 1 : 0;
    if (phaseEnded && !m_pConfig->m_bNoConnectCommand) {
        RepliesWhole whole(m_linkHolder);
        result = SendConnectCommand(1);
    }
    CloseLink();
    return result;
}

void BridgeChannel::CloseLink() {
    if (m_pConfig && m_linkHolder.IsOpen()) m_linkHolder.Close(m_pConfig.get());
}

}  // namespace varnock

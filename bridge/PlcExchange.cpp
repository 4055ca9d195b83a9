// The channel's exchange with the PLC: one request and its reply, the
// commands built on it, and connect and disconnect. All on the main thread.
#include <chrono>
#include <cstdio>
#include <thread>

#include "bridge/BridgeChannel.h"
#include "bridge/FrameTrace.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/StopSignals.h"
#include "settings/SettingsManager.h"
#include "vport/VirtualPort.h"

namespace varnock {

namespace {

constexpr uint8_t DLE = 0x10;
constexpr uint8_t ETX = 0x03;
constexpr int kHeadersSize = 18;
constexpr int kSerialFramingSize = 6;
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

int BaudCode(int baudRate) {
    static const int rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int i = 0; i < 10; ++i) {
        if (rates[i] == baudRate) return i;
    }
    return -1;
}

void AppendHex(ByteArray& out, int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    out.Add(static_cast<uint8_t>(text[0]));
    out.Add(static_cast<uint8_t>(text[1]));
}

}  // namespace

bool BridgeChannel::ReadSerialReply(ByteArray& reply, int expected) {
    uint32_t got = 0;
    if (m_linkHolder.Read(reply, expected, &got, kLinkTimeoutMs) != 1 || reply.GetSize() < expected)
        return false;
    // Collapse stuffed DLE pairs as they come. The two CRC bytes after
    // DLE ETX are never stuffed, so they are taken as they stand.
    auto& b = reply.bytes();
    size_t pos = 0;
    bool afterDle = false;
    bool trailer = false;
    for (;;) {
        while (pos < b.size() && !trailer) {
            if (afterDle) {
                afterDle = false;
                if (b[pos] == DLE) {
                    b.erase(b.begin() + static_cast<long>(pos));
                    continue;
                }
                if (b[pos] == ETX) trailer = true;
            } else if (b[pos] == DLE) {
                afterDle = true;
            }
            ++pos;
        }
        if (static_cast<int>(b.size()) >= expected) return true;
        int missing = expected - static_cast<int>(b.size());
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
    int expected = replyLength + kHeadersSize + (serial ? kSerialFramingSize : 0);
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
    m_requestData.RemoveAll();
    for (int i = 0; i < 6; ++i) m_requestData.Add(i == 0 ? 0x01 : 0x00);
    m_requestData.Add(disconnect ? 0x02 : 0x01);
    if (Exchange(m_requestData, 7) != 1) {
        platform::ShowMessage(kMsgNoCommandReply, platform::kMbIconError);
        if (IsSerial(m_pConfig.get())) SendBaudRateCommand(9600);
        CloseLink();
        return 0;
    }
    if (m_replyData.GetSize() < 7) return 0;
    for (int i = 0; i < 6; ++i) {
        if (m_replyData[i] != 0x00) return 0;
    }
    return m_replyData[6] == (disconnect ? 0x02 : 0x01) ? 1 : 0;
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
        ChannelConfig now;
        try {
            now.m_nBaudRate = m_pVirtualPort->GetBaudRate();
            now.m_byDataBits = static_cast<uint8_t>(m_pVirtualPort->GetByteSize());
            now.m_byParity = static_cast<Parity>(static_cast<uint8_t>(m_pVirtualPort->GetParity()));
            now.m_byStopBits = static_cast<StopBits>(static_cast<uint8_t>(m_pVirtualPort->GetStopBits()));
        } catch (...) {
            return 0;
        }
        if (now.m_nBaudRate == m_commParams.m_nBaudRate && now.m_byDataBits == m_commParams.m_byDataBits &&
            now.m_byParity == m_commParams.m_byParity && now.m_byStopBits == m_commParams.m_byStopBits) {
            return 1;
        }
        m_commParams.m_nBaudRate = now.m_nBaudRate;
        m_commParams.m_byDataBits = now.m_byDataBits;
        m_commParams.m_byParity = now.m_byParity;
        m_commParams.m_byStopBits = now.m_byStopBits;
    }

    m_requestData.RemoveAll();
    m_requestData.Add(0x21);
    m_requestData.Add(0x01);
    m_requestData.Add(0xFF);
    // A value outside the tables adds no byte.
    int baud = BaudCode(m_commParams.m_nBaudRate);
    if (baud >= 0) m_requestData.Add(static_cast<uint8_t>(baud));
    if (m_commParams.m_byDataBits == 7) m_requestData.Add(0x00);
    if (m_commParams.m_byDataBits == 8) m_requestData.Add(0x01);
    if (m_commParams.m_byParity <= Parity::Even)
        m_requestData.Add(static_cast<uint8_t>(m_commParams.m_byParity));
    if (m_commParams.m_byStopBits <= StopBits::Two)
        m_requestData.Add(static_cast<uint8_t>(m_commParams.m_byStopBits));
    m_requestData.Add(0x00);

    int result = ExchangeControlCommand(2);
    if (result == 1) result = m_replyData.GetSize() >= 2 && m_replyData[0] == 0x21 && m_replyData[1] == 0x00;
    return result;
}

int BridgeChannel::ExchangeControlCommand(int replyLength) {
    m_pCodec->SetHeaderByte1(1, 0x00);
    m_pCodec->SetHeaderByte2(1, 0x00);
    int result = Exchange(m_requestData, replyLength);
    m_pCodec->SetHeaderByte1(0, 0);
    m_pCodec->SetHeaderByte2(0, 0);
    return result;
}

int BridgeChannel::SendBaudRateCommand(int baudRate) {
    int code = 1;
    switch (baudRate) {
        case 19200:
            code = 2;
            break;
        case 38400:
            code = 3;
            break;
        case 57600:
            code = 4;
            break;
        case 115200:
            code = 5;
            break;
        default:
            code = 1;
    }
    m_requestData.RemoveAll();
    m_requestData.Add(0x05);
    for (char c : std::string("00FFAC")) m_requestData.Add(static_cast<uint8_t>(c));
    AppendHex(m_requestData, code);
    uint8_t check = 0;
    for (uint8_t b : m_requestData.bytes()) check ^= b;
    AppendHex(m_requestData, check);
    m_requestData.Add(0x0D);

    m_pCodec->SetHeaderByte2(1, 0x01);
    int result = Exchange(m_requestData, 6);
    m_pCodec->SetHeaderByte2(0, 0);
    if (result == 1) result = m_replyData.GetSize() >= 1 && m_replyData[0] == 0x06;
    if (result == 1 && m_pConfig) {
        m_pConfig->m_nBaudRate = baudRate;
        m_linkHolder.Configure(m_pConfig.get());
    }
    return result;
}

int BridgeChannel::SendProbe() {
    m_requestData.RemoveAll();
    m_requestData.Add(0x00);
    int result = ExchangeControlCommand(2);
    if (result == 1) result = m_replyData.GetSize() >= 2 && m_replyData[0] == 0x00 && m_replyData[1] == 0x00;
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
    m_pCodec->SetLinkFraming(type == LinkType::Usb        ? DleFramingLayer::FRAMING_USB
                             : type == LinkType::Ethernet ? DleFramingLayer::FRAMING_ETHERNET
                                                          : DleFramingLayer::FRAMING_SERIAL);

    int opened = m_linkHolder.Open(m_pConfig.get());
    int result = opened;
    if (opened == 1) {
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
        if (opened != 0) return opened;
    }
    // A connect cut short by a stop of the process says nothing about the port.
    if (result == 0 && !platform::StopRequested())
        platform::ShowMessage(kMsgPortNotOpened, platform::kMbOk, m_pConfig->m_strLinkPort);
    if (result == 1) m_bConnected = 1;
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
    if (phaseEnded && !m_pConfig->m_bNoConnectCommand) result = SendConnectCommand(1);
    CloseLink();
    return result;
}

void BridgeChannel::CloseLink() {
    if (m_pConfig && m_linkHolder.IsOpen()) m_linkHolder.Close(m_pConfig.get());
}

}  // namespace varnock

#include "vport/Rfc2217Codec.h"

namespace varnock::rfc2217 {

namespace {

constexpr char kSignatureText[] = "Varnock";

// RFC parity 1..5 (none, odd, even, mark, space) is DCB 0..4; RFC stop size
// 1, 2, 3 (one, two, one and a half) is DCB 0, 2, 1.
uint8_t StopToDcb(uint8_t rfc) {
    return rfc == 1 ? 0 : rfc == 2 ? 2 : 1;
}
uint8_t StopToRfc(uint8_t dcb) {
    return dcb == 0 ? 1 : dcb == 2 ? 2 : 3;
}

void AppendCommand(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
    out.insert(out.end(), {kIac, verb, option});
}

void AppendByte(std::vector<uint8_t>& out, uint8_t code, uint8_t value) {
    AppendSub(out, code, &value, 1);
}

}  // namespace

void AppendSub(std::vector<uint8_t>& out, uint8_t code, const uint8_t* value, size_t count) {
    out.insert(out.end(), {kIac, kSb, kOptComPort, code});
    for (size_t i = 0; i < count; ++i) {
        out.push_back(value[i]);
        if (value[i] == kIac) out.push_back(kIac);
    }
    out.insert(out.end(), {kIac, kSe});
}

void ServerCodec::Restart() {
    m_state = State::Data;
    m_sub.clear();
    m_subOverflow = false;
    m_telnet = false;
    m_binary = m_sga = m_comPort = Option{};
    m_modemSent = false;
    m_modemMask = 0xFF;
    m_lineMask = 0;
    m_break = false;
    m_suspended = false;
}

ServerCodec::Option* ServerCodec::Find(uint8_t option) {
    switch (option) {
        case kOptBinary:
            return &m_binary;
        case kOptSga:
            return &m_sga;
        case kOptComPort:
            return &m_comPort;
        default:
            return nullptr;
    }
}

// The client speaks Telnet: data must pass untouched both ways, so BINARY is
// proposed in both directions.
void ServerCodec::StartTelnet(std::vector<uint8_t>& reply) {
    if (m_telnet) return;
    m_telnet = true;
    m_binary.askedUs = m_binary.askedHim = true;
    AppendCommand(reply, kWill, kOptBinary);
    AppendCommand(reply, kDo, kOptBinary);
}

void ServerCodec::ComPortActive(std::vector<uint8_t>& reply) {
    // Clients learn the modem lines only from this notice.
    if (m_modemSent) return;
    m_modemSent = true;
    AppendByte(reply, kNotifyModemState + kServerOffset, kModemState & m_modemMask);
}

// Answers only what changes a state, so that two sides never loop.
void ServerCodec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply) {
    Option* o = Find(option);
    switch (verb) {
        case kWill:
            if (!o) {
                AppendCommand(reply, kDont, option);
            } else if (!o->him) {
                o->him = true;
                if (!o->askedHim) AppendCommand(reply, kDo, option);
            }
            if (o) o->askedHim = false;
            break;
        case kWont:
            if (o && o->him && !o->askedHim) AppendCommand(reply, kDont, option);
            if (o) o->him = o->askedHim = false;
            break;
        case kDo:
            if (!o) {
                AppendCommand(reply, kWont, option);
            } else if (!o->us) {
                o->us = true;
                if (!o->askedUs) AppendCommand(reply, kWill, option);
            }
            if (o) o->askedUs = false;
            break;
        case kDont:
            if (o && o->us && !o->askedUs) AppendCommand(reply, kWont, option);
            if (o) o->us = o->askedUs = false;
            break;
    }
    if (option == kOptComPort && (m_comPort.us || m_comPort.him)) ComPortActive(reply);
}

void ServerCodec::Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data,
                       std::vector<uint8_t>& reply, Effects& effects) {
    m_data = &data;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (m_state) {
            case State::Data:
                if (b == kIac)
                    m_state = State::Command;
                else
                    data.push_back(b);
                break;
            case State::Command:
                m_state = State::Data;
                if (b == kIac) {
                    data.push_back(kIac);
                } else if (b >= kWill) {
                    m_verb = b;
                    m_state = State::Option;
                } else if (b == kSb) {
                    m_sub.clear();
                    m_subOverflow = false;
                    m_state = State::Sub;
                } else if (!m_telnet && b < kSe) {
                    // A plain client's bytes that merely look like a command.
                    data.insert(data.end(), {kIac, b});
                }
                // NOP, AYT, GA and the like change nothing here.
                break;
            case State::Option:
                m_state = State::Data;
                StartTelnet(reply);
                Negotiate(m_verb, b, reply);
                break;
            case State::Sub:
                if (b == kIac) {
                    m_state = State::SubCommand;
                } else if (m_sub.size() < kSubCap) {
                    m_sub.push_back(b);
                } else {
                    m_subOverflow = true;
                }
                break;
            case State::SubCommand:
                if (b == kIac) {
                    if (m_sub.size() < kSubCap)
                        m_sub.push_back(kIac);
                    else
                        m_subOverflow = true;
                    m_state = State::Sub;
                    break;
                }
                // IAC SE ends it; any other command ends it too, cut short.
                StartTelnet(reply);
                if (!m_subOverflow) SubNegotiation(reply, effects);
                m_sub.clear();
                m_state = b == kSe ? State::Data : State::Command;
                if (b != kSe) --i;  // that command's byte is read again (unsigned wrap at 0 is undone by ++i)
                break;
        }
    }
}

void ServerCodec::SubNegotiation(std::vector<uint8_t>& reply, Effects& effects) {
    if (m_sub.size() < 2 || m_sub[0] != kOptComPort) return;
    const std::vector<uint8_t> value(m_sub.begin() + 2, m_sub.end());
    ComPortCommand(m_sub[1], value, reply, effects);
}

// Every command that has a value is answered with the value now in use: a
// request (0) and an out-of-range or malformed value alike.
void ServerCodec::ComPortCommand(uint8_t command, const std::vector<uint8_t>& value,
                                 std::vector<uint8_t>& reply, Effects& effects) {
    const uint8_t answer = command + kServerOffset;
    const bool one = value.size() == 1;
    const uint8_t v = one ? value[0] : 0;
    const LineSettings before = m_line;
    switch (command) {
        case kSignature:
            if (value.empty())
                AppendSub(reply, answer, reinterpret_cast<const uint8_t*>(kSignatureText),
                          sizeof kSignatureText - 1);
            break;
        case kSetBaudRate: {
            if (value.size() == 4) {
                const uint32_t baud = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                                      (uint32_t{value[2]} << 8) | value[3];
                if (baud >= kMinBaud && baud <= kMaxBaud) m_line.baudRate = baud;
            }
            const uint32_t b = m_line.baudRate;
            const uint8_t out[4] = {uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
            AppendSub(reply, answer, out, 4);
            break;
        }
        case kSetDataSize:
            if (v >= 5 && v <= 8) m_line.dataBits = v;
            AppendByte(reply, answer, m_line.dataBits);
            break;
        case kSetParity:
            if (v >= 1 && v <= 5) m_line.parity = v - 1;
            AppendByte(reply, answer, m_line.parity + 1);
            break;
        case kSetStopSize:
            if (v >= 1 && v <= 3) m_line.stopBits = StopToDcb(v);
            AppendByte(reply, answer, StopToRfc(m_line.stopBits));
            break;
        case kSetControl:
            AppendByte(reply, answer, Control(one ? v : 0));
            break;
        case kNotifyModemState:  // a client's poll
            AppendByte(reply, answer, kModemState & m_modemMask);
            break;
        case kFlowSuspend:
        case kFlowResume:
            effects.suspendChanged = effects.suspendChanged || m_suspended != (command == kFlowSuspend);
            m_suspended = command == kFlowSuspend;
            break;
        case kSetLineStateMask:
            if (one) m_lineMask = v;
            AppendByte(reply, answer, m_lineMask);
            break;
        case kSetModemStateMask:
            if (one) m_modemMask = v;
            AppendByte(reply, answer, m_modemMask);
            AppendByte(reply, kNotifyModemState + kServerOffset, kModemState & m_modemMask);
            break;
        case kPurgeData:
            // 1: what waits for the client, 2: what the client sent, 3: both.
            if (!one || v < 1 || v > 3) break;
            effects.purgeToClient = effects.purgeToClient || (v & 1);
            effects.purgeFromClient = effects.purgeFromClient || (v & 2);
            if (v & 2) m_data->clear();
            AppendByte(reply, answer, v);
            break;
        default:  // NOTIFY-LINESTATE and unknown codes: nothing to answer
            break;
    }
    if (!(m_line == before)) effects.settingsChanged = true;
}

// SET-CONTROL: a request is answered with its state, a setting with itself
// once kept. Flow control is kept as told: the bridge has none to apply.
uint8_t ServerCodec::Control(uint8_t request) {
    switch (request) {
        case 1:
        case 2:
        case 3:
        case 17:
        case 19:
            m_flowOut = request;
            return request;
        case 14:
        case 15:
        case 16:
        case 18:
            m_flowIn = request;
            return request;
        case 5:
        case 6:
            m_break = request == 5;
            return request;
        case 8:
        case 9:
            m_dtr = request == 8;
            return request;
        case 11:
        case 12:
            m_rts = request == 11;
            return request;
        case 4:
            return m_break ? 5 : 6;
        case 7:
            return m_dtr ? 8 : 9;
        case 10:
            return m_rts ? 11 : 12;
        case 13:
            return m_flowIn;
        default:  // 0 and codes not defined: the outbound flow control
            return m_flowOut;
    }
}

void ServerCodec::EncodeData(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out) const {
    for (size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (m_telnet && bytes[i] == kIac) out.push_back(kIac);
    }
}

}  // namespace varnock::rfc2217

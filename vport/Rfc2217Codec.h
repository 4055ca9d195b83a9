#pragma once
// The server's side of Telnet with the COM port option (RFC 2217): turns a
// client's bytes into data bytes and commands, and builds the answers. Pure:
// no sockets, no threads; the network driver owns one per session.
//
// State: the parser is in one of Data, Command (after IAC), Option (after
// IAC WILL/WONT/DO/DONT), Sub (inside IAC SB ... ) and SubCommand (IAC inside
// SB); it survives between Feed calls, so a command may arrive split across
// reads. Options: BINARY, SGA and COM-PORT-OPTION are taken both ways, all
// others refused. The line settings outlive a session (Restart), as a serial
// device keeps its own.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnock::rfc2217 {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;

// Client command codes; the server answers with the code + 100.
enum Command : uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;

// CTS, DSR and DCD on: what the PLC side always offers.
constexpr uint8_t kModemState = 0x10 | 0x20 | 0x80;
// A subnegotiation longer than this is no command of ours: dropped.
constexpr size_t kSubCap = 64;
// The line speeds taken; anything else is answered with the one in use.
constexpr uint32_t kMinBaud = 50, kMaxBaud = 4000000;

// In Windows (DCB) codes: parity 0 none .. 4 space, stop bits 0 one, 1 one
// and a half, 2 two.
struct LineSettings {
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    bool operator==(const LineSettings&) const = default;
};

// What one Feed asks of the driver beyond data and answers.
struct Effects {
    bool settingsChanged = false;
    bool purgeToClient = false;    // drop what waits for the client
    bool purgeFromClient = false;  // what the client sent before it was dropped from Feed's data
    bool suspendChanged = false;   // see ServerCodec::Suspended
};

class ServerCodec {
public:
    explicit ServerCodec(const LineSettings& line = {}) : m_line(line) {}

    // A new client: negotiation and masks start afresh; the line settings,
    // DTR and RTS stay.
    void Restart();
    // Parses the client's bytes: its data (IAC IAC undoubled) is appended to
    // `data`, the answers to `reply`.
    void Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data, std::vector<uint8_t>& reply,
              Effects& effects);
    // Data for the client; IAC doubled once the client speaks Telnet (a
    // plain TCP client gets the bytes as they are).
    void EncodeData(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out) const;

    const LineSettings& Line() const { return m_line; }
    bool Telnet() const { return m_telnet; }
    bool Dtr() const { return m_dtr; }
    bool Rts() const { return m_rts; }
    // The client asked us to stop sending data until it resumes (answers
    // to its commands still go: they are few and bounded).
    bool Suspended() const { return m_suspended; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    struct Option {
        bool us = false, him = false;            // enabled on our side / the client's
        bool askedUs = false, askedHim = false;  // we proposed it and wait for the answer
    };

    void StartTelnet(std::vector<uint8_t>& reply);
    void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply);
    void SubNegotiation(std::vector<uint8_t>& reply, Effects& effects);
    void ComPortCommand(uint8_t command, const std::vector<uint8_t>& value, std::vector<uint8_t>& reply,
                        Effects& effects);
    uint8_t Control(uint8_t request);
    std::vector<uint8_t>* m_data = nullptr;  // Feed's, for a purge of what the client sent
    void ComPortActive(std::vector<uint8_t>& reply);
    Option* Find(uint8_t option);

    LineSettings m_line;
    State m_state = State::Data;
    uint8_t m_verb = 0;
    std::vector<uint8_t> m_sub;
    bool m_subOverflow = false;
    bool m_telnet = false;
    Option m_binary, m_sga, m_comPort;
    bool m_modemSent = false;
    uint8_t m_modemMask = 0xFF, m_lineMask = 0;
    bool m_dtr = true, m_rts = true, m_break = false;
    uint8_t m_flowOut = 1, m_flowIn = 14;
    bool m_suspended = false;
};

// IAC SB COM-PORT-OPTION code value IAC SE, the value's IAC doubled.
void AppendSub(std::vector<uint8_t>& out, uint8_t code, const uint8_t* value, size_t count);

}  // namespace varnock::rfc2217

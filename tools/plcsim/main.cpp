// varnock-plcsim: plays a PLC for the bridge, over TCP or a serial device.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Pty.h"
#include "tools/plcsim/PlcSimulator.h"

using namespace varnock::plcsim;

namespace {

std::atomic<bool> g_quit{false};

void OnSignal(int) {
    g_quit = true;
}

int Usage() {
    std::cerr << "usage: varnock-plcsim (--tcp ADDRESS... [--port N] | --serial PATH | --pty LINK "
                 "[--line-bits N])\n"
                 "                      [--log] [--split N] [--delay MS] [--gather MS] [--gather-bytes N]\n"
                 "                      [--fault KIND=FAULT]...\n"
                 "  --tcp ADDRESS: one PLC per address given; with several, --log lines start\n"
                 "                 with the address\n"
                 "  --pty LINK: a new pseudo-terminal pair; LINK becomes a link to the end the\n"
                 "              bridge opens as its serial port\n"
                 "  --line-bits N: move bytes no faster than a line at the rate the bridge set,\n"
                 "                N bits per character\n"
                 "  --gather MS: echo pass-through data once no frame came for MS ms\n"
                 "  --gather-bytes N: echo pass-through data once N bytes came\n"
                 "  KIND:  pass-through connect disconnect serial-parameters baud-rate probe\n"
                 "  FAULT: no-answer wrong-bytes bad-crc stale-sequence bad-prefix reset\n"
                 "         reset-mid-reply none\n";
    return 2;
}

bool ParseKind(const std::string& text, RequestKind& kind) {
    for (auto k : {RequestKind::PassThrough, RequestKind::Connect, RequestKind::Disconnect,
                   RequestKind::SerialParameters, RequestKind::BaudRate, RequestKind::Probe}) {
        if (text == KindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

bool ParseFault(const std::string& text, Fault& fault) {
    for (auto f : {Fault::None, Fault::NoAnswer, Fault::WrongBytes, Fault::BadCrc, Fault::StaleSequence,
                   Fault::BadPrefix, Fault::ResetConnection, Fault::ResetMidReply}) {
        if (text == FaultName(f)) {
            fault = f;
            return true;
        }
    }
    return false;
}

bool ParseNumber(const char* text, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < 0 || v > (1L << 30)) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> addresses;
    std::string serial, ptyLink;
    int port = kPlcPort, split = 1, delay = 0, gather = 0, gatherBytes = 0, lineBits = 0;
    bool log = false;
    std::vector<std::pair<RequestKind, Fault>> faults;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--tcp" && hasValue) {
            addresses.push_back(argv[++i]);
        } else if (arg == "--serial" && hasValue) {
            serial = argv[++i];
        } else if (arg == "--pty" && hasValue) {
            ptyLink = argv[++i];
        } else if (arg == "--gather" && hasValue) {
            if (!ParseNumber(argv[++i], gather)) return Usage();
        } else if (arg == "--gather-bytes" && hasValue) {
            if (!ParseNumber(argv[++i], gatherBytes)) return Usage();
        } else if (arg == "--line-bits" && hasValue) {
            if (!ParseNumber(argv[++i], lineBits) || lineBits > 64) return Usage();
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], port) || port < 1 || port > 65535) return Usage();
        } else if (arg == "--split" && hasValue) {
            if (!ParseNumber(argv[++i], split) || split < 1) return Usage();
        } else if (arg == "--delay" && hasValue) {
            if (!ParseNumber(argv[++i], delay)) return Usage();
        } else if (arg == "--fault" && hasValue) {
            std::string choice = argv[++i];
            auto eq = choice.find('=');
            RequestKind kind;
            Fault fault;
            if (eq == std::string::npos || !ParseKind(choice.substr(0, eq), kind) ||
                !ParseFault(choice.substr(eq + 1), fault)) {
                return Usage();
            }
            faults.emplace_back(kind, fault);
        } else if (arg == "--log") {
            log = true;
        } else {
            return Usage();
        }
    }
    if (!addresses.empty() + !serial.empty() + !ptyLink.empty() != 1) return Usage();
    if (lineBits > 0 && ptyLink.empty()) return Usage();

    varnock::platform::Error error;
    std::vector<std::unique_ptr<PlcTransport>> transports;
    if (!ptyLink.empty()) {
        std::unique_ptr<varnock::platform::Pty> pty;
        error = varnock::platform::Pty::Create(pty);
        std::error_code ec;
        if (pty) {
            std::filesystem::remove(ptyLink, ec);
            std::filesystem::create_symlink(pty->SlavePath(), ptyLink, ec);
        }
        if (!pty || ec) {
            std::cerr << "varnock-plcsim: cannot make " << ptyLink << "\n";
            return 1;
        }
        transports.push_back(OverPty(std::move(pty), lineBits));
    } else if (!serial.empty()) {
        transports.push_back(OpenSerialDevice(serial, &error));
        if (!transports.back()) {
            std::cerr << "varnock-plcsim: cannot use " << serial << "\n";
            return 1;
        }
    }
    for (const std::string& address : addresses) {
        transports.push_back(ListenTcp(address, static_cast<uint16_t>(port), &error));
        if (!transports.back()) {
            std::cerr << "varnock-plcsim: cannot use " << address << "\n";
            return 1;
        }
    }
    std::vector<std::unique_ptr<PlcSimulator>> sims;
    for (size_t i = 0; i < transports.size(); ++i) {
        auto sim = std::make_unique<PlcSimulator>(std::move(transports[i]));
        // Several PLCs (addresses, one transport each): each line says whose it is.
        if (log) sim->SetLog(&std::cout, addresses.size() > 1 ? addresses[i] : std::string());
        sim->SetReplyFrames(split);
        sim->SetReplyDelay(std::chrono::milliseconds(delay));
        sim->SetGatherPause(std::chrono::milliseconds(gather));
        sim->SetGatherBytes(gatherBytes);
        for (auto& [kind, fault] : faults) sim->SetFault(kind, fault);
        sims.push_back(std::move(sim));
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    for (auto& sim : sims) sim->Start();
    while (!g_quit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& sim : sims) sim->Stop();
    if (!ptyLink.empty()) {
        std::error_code ec;
        std::filesystem::remove(ptyLink, ec);
    }
    return 0;
}

// varnock-plcsim: plays a PLC for the bridge, over TCP or a serial device.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "tools/plcsim/PlcSimulator.h"

using namespace varnock::plcsim;

namespace {

std::atomic<bool> g_quit{false};

void OnSignal(int) {
    g_quit = true;
}

int Usage() {
    std::cerr << "usage: varnock-plcsim (--tcp ADDRESS [--port N] | --serial PATH) [--log]\n"
                 "                      [--split N] [--delay MS] [--fault KIND=FAULT]...\n"
                 "  KIND:  pass-through connect disconnect serial-parameters baud-rate probe\n"
                 "  FAULT: no-answer wrong-bytes bad-crc stale-sequence bad-prefix reset none\n";
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
                   Fault::BadPrefix, Fault::ResetConnection}) {
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
    if (!end || *end || v < 0 || v > 1000000) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address, serial;
    int port = kPlcPort, split = 1, delay = 0;
    bool log = false;
    std::vector<std::pair<RequestKind, Fault>> faults;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--tcp" && hasValue) {
            address = argv[++i];
        } else if (arg == "--serial" && hasValue) {
            serial = argv[++i];
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], port) || port < 1 || port > 65535) return Usage();
        } else if (arg == "--split" && hasValue) {
            if (!ParseNumber(argv[++i], split) || split < 1) return Usage();
        } else if (arg == "--delay" && hasValue) {
            if (!ParseNumber(argv[++i], delay)) return Usage();
        } else if (arg == "--fault" && hasValue) {
            std::string spec = argv[++i];
            auto eq = spec.find('=');
            RequestKind kind;
            Fault fault;
            if (eq == std::string::npos || !ParseKind(spec.substr(0, eq), kind) ||
                !ParseFault(spec.substr(eq + 1), fault)) {
                return Usage();
            }
            faults.emplace_back(kind, fault);
        } else if (arg == "--log") {
            log = true;
        } else {
            return Usage();
        }
    }
    if (address.empty() == serial.empty()) return Usage();

    int error = 0;
    auto transport = address.empty() ? OpenSerialDevice(serial, &error)
                                     : ListenTcp(address, static_cast<uint16_t>(port), &error);
    if (!transport) {
        std::cerr << "varnock-plcsim: cannot use " << (address.empty() ? serial : address) << "\n";
        return 1;
    }
    PlcSimulator sim(std::move(transport));
    if (log) sim.SetLog(&std::cout);
    sim.SetReplyFrames(split);
    sim.SetReplyDelay(std::chrono::milliseconds(delay));
    for (auto& [kind, fault] : faults) sim.SetFault(kind, fault);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    sim.Start();
    while (!g_quit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim.Stop();
    return 0;
}

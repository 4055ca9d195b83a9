#pragma once
// The network port dialog's behaviour: whether one channel's virtual port is
// served over TCP as an RFC 2217 serial port instead of as a pty, on which
// listen address and TCP port, and which clients are let in. Works on a
// config that the main window hands in; it changes only when the user
// confirms input that is sound.
#include <cstdint>
#include <string>
#include <vector>

#include "ui/DialogView.h"

namespace varnock {

// Control IDs of the network port dialog.
constexpr int IDC_NET_VIRTUAL_PORT = 1004;
constexpr int IDC_NET_SERVED = 1020;
constexpr int IDC_NET_ADDRESS = 1021;
constexpr int IDC_NET_PORT = 1022;
constexpr int IDC_NET_CLIENTS = 1023;
constexpr int IDC_NET_GROUP = 1024;  // holds the three fields and their captions

// The TCP port offered to a port not served yet: the first free from here.
constexpr uint16_t kFirstOfferedTcpPort = 2217;

class NetworkPortDialog {
public:
    explicit NetworkPortDialog(DialogView& view) : m_view(view) {}

    void SetPort(const std::string& portName, NetworkPortConfig* config) {
        m_strPortName = portName;
        m_pConfig = config;
    }
    void SetOtherPorts(const std::vector<NetworkPortUse>& others) { m_others = others; }

    bool OnInitDialog();
    // A click on the served check box.
    void OnServedClicked();
    void OnOK();
    void OnCancel();

    // Whether two served ports cannot both listen: the same TCP port on the
    // same address, or on any address when one of them listens on all.
    static bool Collide(const NetworkPortConfig& a, const NetworkPortConfig& b);

private:
    void ApplyEnablingRules();
    uint16_t OfferedPort() const;

    DialogView& m_view;
    std::string m_strPortName;
    NetworkPortConfig* m_pConfig = nullptr;
    std::vector<NetworkPortUse> m_others;
};

}  // namespace varnock

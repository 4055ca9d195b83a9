// English texts of the resource library, by string number.
#include <cstddef>

#include "common/Messages.h"
#include "settings/resources/en/BuiltInTexts.h"

namespace {

using namespace varnock;

struct Entry {
    int number;
    const char* text;
};

constexpr Entry kStrings[] = {
    {kStrAboutMenu, "About Varnock..."},
    {kStrColumnVirtualPort, "Virtual port"},
    {kStrColumnLink, "Link"},
    {kStrColumnLinkPort, "PLC address"},
    {kStrColumnNoConnect, "No connect command"},
    {kMsgVarnockIniMissing, kTextVarnockIniMissing},
    {kMsgRealPortInvalid,
     "Varnock.ini does not say which links may be used: the setting RealPort in section "
     "[VirtualCOMSettings] is missing or empty. Set it, for example RealPort=COM,USB,Ethernet."},
    {kMsgMaxHostDriverNoInvalid,
     "The setting MaxHostDriverNo in section [VirtualCOMSettings] of Varnock.ini is missing "
     "or is not a number of 1 or more. Set it, for example MaxHostDriverNo=4."},
    {kMsgItemsInvalid,
     "Varnock_setting.ini lists no channels: the setting items in section "
     "[VirtualCOMAllocationMatrix] is missing or is not a number of 1 or more. "
     "Set it to the number of channel rows, for example items=1."},
    {kMsgPortNotOpened,
     "The port %s cannot be opened. Check that the device is connected, that its name is "
     "right and that no other program is using it."},
    {kMsgNoCommandReply,
     "The PLC did not answer the connect or disconnect command. Check the cable or network "
     "and that the PLC is switched on, then try again."},
    {kMsgTooFewDescriptors,
     "Too few files may be open at once for every channel: %s. Raise the limit on open files "
     "(ulimit -n, or LimitNOFILE= of the service) and start Varnock again."},
    {kMsgAddressRequired, "Enter the PLC's IP address. It must not be blank or 0.0.0.0."},
    {kStrFlagOn, "Yes"},
    {kStrFlagOff, "No"},
    {kMsgLinkLost,
     "The Ethernet link to the PLC was lost. The channels are disconnected; check the "
     "network and the PLC, then connect again."},
    {kMsgSettingIniMissing, kTextSettingIniMissing},
    {kMsgSettingsNotSaved,
     "The channels cannot be saved to %s: the file or its folder cannot be written. "
     "Changes made since Varnock started are lost when it ends; make the file writable and "
     "change them again."},
    {kMsgManualNotOpened,
     "The manual %s cannot be opened: it is missing, or no program to open it was found "
     "(xdg-open, from the package xdg-utils). Open the file in a web browser, or read "
     "README.md in /usr/share/doc/varnock-bridge."},
    {kMsgConverterDrivers,
     "USB-to-UART converters need no driver installer on Linux: their drivers come with the "
     "kernel and are loaded when a converter is plugged in. Converter drivers loaded now: %s. "
     "To open a converter's port you must be in the group that owns it (dialout)."},
    {kStrNoConverterDriver, "none (plug the converter in)"},
    {kMsgNetworkPortInvalid,
     "The line %s of Varnock_setting.ini cannot be read: write a TCP port (2217, loopback "
     "only) or an IPv4 address and port (0.0.0.0:2217), and client addresses as IPv4 "
     "addresses separated by commas. The port is made on this machine only, as a pty."},
    {kStrColumnStatus, "Status"},
    {kStrChannelStates[0], "not connected"},
    {kStrChannelStates[1], "connected"},
    {kStrChannelStates[2], "connected, host port open"},
    {kStrChannelStates[3], "link lost"},
    {kStrChannelStates[4], "connect failed"},
    {kStrChannelStates[5], "connected, replies lost"},
    {kMsgListenAddressInvalid,
     "Enter the address to listen on, all four fields: 127.0.0.1 for this computer only, 0.0.0.0 "
     "for every network, or one of this computer's own addresses. A multicast or broadcast "
     "address cannot be listened on."},
    {kMsgTcpPortInvalid, "Enter the TCP port to serve the virtual port on: a number from 1 to 65535."},
    {kMsgTcpPortInUse,
     "Another channel already serves its virtual port on this TCP port: %s. Choose another TCP "
     "port, or different listen addresses for the two."},
    {kMsgClientListInvalid,
     "The allowed clients must be IPv4 addresses separated by commas, for example "
     "10.0.0.5, 10.0.0.6. Leave the field empty to let any client in."},
    {kStrClientConnected, "connected, client %s"},
    {kStrNetworkPortSuffix, "tcp %s"},
    {kStrNetworkPortTip, "Served over the network as an RFC 2217 serial port on %s"},
    {kStrNetworkClientsTip, "Clients let in: %s"},
    {kStrMenuManual, "Varnock manual"},
    {kStrMenuInstaller32, "USB-to-UART converter drivers..."},
    // One entry: Linux has no installer per word size.
    {kStrMenuInstaller64, ""},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* varnock_resource_string(int number) {
    for (const Entry& e : kStrings) {
        if (e.number == number) return e.text;
    }
    return nullptr;
}

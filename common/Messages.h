#pragma once
// The numbers of the resource library's strings and dialog templates. The
// system names a text only by its number; the texts themselves live in the
// library.
namespace varnock {

// Messages shown in a box.
inline constexpr int kMsgVarnockIniMissing = 109;       // Varnock.ini not found
inline constexpr int kMsgRealPortInvalid = 110;         // RealPort missing or empty
inline constexpr int kMsgMaxHostDriverNoInvalid = 111;  // MaxHostDriverNo missing or below 1
inline constexpr int kMsgItemsInvalid = 113;            // items missing or below 1
inline constexpr int kMsgPortNotOpened = 114;           // "%s": the port that cannot be opened
inline constexpr int kMsgNoCommandReply = 115;          // no reply to connect or disconnect
inline constexpr int kMsgTooFewDescriptors = 119;       // "%s": the limit and what the channels need
inline constexpr int kMsgAddressRequired = 207;         // blank or 0.0.0.0 IP address
inline constexpr int kMsgLinkLost = 211;                // Ethernet link lost
inline constexpr int kMsgSettingIniMissing = 212;       // Varnock_setting.ini not found
inline constexpr int kMsgSettingsNotSaved = 230;        // "%s": the channel file that cannot be written
inline constexpr int kMsgManualNotOpened = 231;         // "%s": the manual's path
inline constexpr int kMsgConverterDrivers = 232;        // "%s": the converter drivers loaded now
inline constexpr int kMsgNetworkPortInvalid = 249;      // "%s": the settings line that cannot be read

// Texts of the windows.
inline constexpr int kStrAboutMenu = 101;
inline constexpr int kStrColumnVirtualPort = 102;
inline constexpr int kStrColumnLink = 103;
inline constexpr int kStrColumnLinkPort = 104;
inline constexpr int kStrColumnNoConnect = 106;
inline constexpr int kStrFlagOn = 209;   // a row's no-connect flag set, as stored
inline constexpr int kStrFlagOff = 210;  // and not set
inline constexpr int kStrColumnStatus = 220;
// A channel's state as the main window and varnockd show it, in the order of
// ChannelState: not connected, connected, connected with the host's port
// open, link lost, connect failed, connected with reply bytes lost.
inline constexpr int kStrChannelStates[] = {221, 222, 223, 224, 225, 226};
inline constexpr int kStrNoConverterDriver = 233;  // in 232 when no driver is loaded
// The network port dialog's messages: not an address to listen on, a TCP
// port not 1 to 65535, one another channel listens on ("%s": that port and
// its address), allowed clients that are not IPv4 addresses.
inline constexpr int kMsgListenAddressInvalid = 250;
inline constexpr int kMsgTcpPortInvalid = 251;
inline constexpr int kMsgTcpPortInUse = 252;
inline constexpr int kMsgClientListInvalid = 253;
// A network port's texts: the state with its client ("%s": address:port),
// the virtual port column's suffix and tool tip ("%s": the listen address
// and port) and the tool tip's line for the allowed clients.
inline constexpr int kStrClientConnected = 254;
inline constexpr int kStrNetworkPortSuffix = 255;
inline constexpr int kStrNetworkPortTip = 256;
inline constexpr int kStrNetworkClientsTip = 257;
inline constexpr int kStrMenuManual = 32780;
inline constexpr int kStrMenuInstaller32 = 32781;
inline constexpr int kStrMenuInstaller64 = 32782;

// Dialog templates.
inline constexpr int kDialogAbout = 100;
inline constexpr int kDialogMain = 102;
inline constexpr int kDialogLinkSettings = 129;
inline constexpr int kDialogNetworkPort = 250;

}  // namespace varnock

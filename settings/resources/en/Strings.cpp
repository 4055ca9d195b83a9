// English texts of the resource library, by string number.
#include <cstddef>

namespace {

struct Entry {
    int number;
    const char* text;
};

constexpr Entry kStrings[] = {
    {101, "About Varnock..."},
    {102, "Virtual port"},
    {103, "Link"},
    {104, "PLC address"},
    {106, "No connect command"},
    {109,
     "The settings file Varnock.ini is missing beside the program or cannot be read. "
     "Reinstall Varnock or put a readable Varnock.ini back in the program's folder."},
    {110,
     "Varnock.ini does not say which links may be used: the setting RealPort in section "
     "[VirtualCOMSettings] is missing or empty. Set it, for example RealPort=COM,USB,Ethernet."},
    {111,
     "The setting MaxHostDriverNo in section [VirtualCOMSettings] of Varnock.ini is missing "
     "or is not a number of 1 or more. Set it, for example MaxHostDriverNo=4."},
    {113,
     "Varnock_setting.ini lists no channels: the setting items in section "
     "[VirtualCOMAllocationMatrix] is missing or is not a number of 1 or more. "
     "Set it to the number of channel rows, for example items=1."},
    {114,
     "The port %s cannot be opened. Check that the device is connected, that its name is "
     "right and that no other program is using it."},
    {115,
     "The PLC did not answer the connect or disconnect command. Check the cable or network "
     "and that the PLC is switched on, then try again."},
    {207, "Enter the PLC's IP address. It must not be blank or 0.0.0.0."},
    {209, "Yes"},
    {210, "No"},
    {211,
     "The Ethernet link to the PLC was lost. The channels are disconnected; check the "
     "network and the PLC, then connect again."},
    {212,
     "The settings file Varnock_setting.ini is missing beside the program or cannot be read. "
     "Reinstall Varnock or put a readable Varnock_setting.ini back in the program's folder."},
    {220, "Status"},
    {230,
     "The channels cannot be saved to %s: the file or its folder cannot be written. "
     "Changes made since Varnock started are lost when it ends; make the file writable and "
     "change them again."},
    {231,
     "The manual %s cannot be opened: it is missing, or no program to open it was found "
     "(xdg-open, from the package xdg-utils). Open the file in a web browser, or read "
     "README.md in /usr/share/doc/varnock-bridge."},
    {232,
     "USB-to-UART converters need no driver installer on Linux: their drivers come with the "
     "kernel and are loaded when a converter is plugged in. Converter drivers loaded now: %s. "
     "To open a converter's port you must be in the group that owns it (dialout)."},
    {233, "none (plug the converter in)"},
    {221, "not connected"},
    {222, "connected"},
    {223, "connected, host port open"},
    {224, "link lost"},
    {225, "connect failed"},
    {32780, "Varnock manual"},
    {32781, "USB-to-UART converter drivers..."},
    // One entry: Linux has no installer per word size.
    {32782, ""},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* varnock_resource_string(int number) {
    for (const Entry& e : kStrings) {
        if (e.number == number) return e.text;
    }
    return nullptr;
}

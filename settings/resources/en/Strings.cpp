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
    {104, "Link port / address"},
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
    {119,
     "Too few files may be open at once for every channel: %s. Raise the limit on open files "
     "(ulimit -n, or LimitNOFILE= of the service) and start Varnock again."},
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
    {221, "not connected"},
    {222, "connected"},
    {223, "connected, host port open"},
    {224, "link lost"},
    {225, "connect failed"},
    {226, "connected, replies lost"},
    {32780, "Varnock manual"},
    {32781, "Install USB driver (32-bit)..."},
    {32782, "Install USB driver (64-bit)..."},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* varnock_resource_string(int number) {
    for (const Entry& e : kStrings) {
        if (e.number == number) return e.text;
    }
    return nullptr;
}

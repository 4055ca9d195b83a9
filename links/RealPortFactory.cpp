#include "links/RealPortFactory.h"

#include <atomic>
#include <new>

#include "links/EthernetRealPort.h"
#include "links/SerialRealPort.h"
#include "links/UsbComRealPort.h"
#include "links/UsbDriver.h"
#include "links/UsbRealPort.h"

namespace varnock {
namespace {

const LinkEnvironment g_systemEnvironment;
std::atomic<const LinkEnvironment*> g_environment{nullptr};

// Links are opened for exclusive use: one that is dropped is closed first.
void Discard(std::unique_ptr<RealPort>& link) {
    if (link) link->Close();
    link.reset();
}

}  // namespace

const LinkEnvironment& CurrentLinkEnvironment() {
    const LinkEnvironment* environment = g_environment.load(std::memory_order_acquire);
    return environment ? *environment : g_systemEnvironment;
}

void SetLinkEnvironment(const LinkEnvironment* environment) {
    g_environment.store(environment, std::memory_order_release);
}

OpenResult CreateRealPort(LinkType linkType, const ChannelConfig& config, std::unique_ptr<RealPort>& link,
                          const LinkEnvironment& environment, LinkHooks* hooks) {
    // An earlier link still held would keep its device from this open.
    Discard(link);
    std::unique_ptr<RealPort> created;
    switch (linkType) {
        case LinkType::Serial:
            created.reset(new (std::nothrow) SerialRealPort());
            break;
        case LinkType::Ethernet:
            created.reset(new (std::nothrow) EthernetRealPort());
            break;
        case LinkType::Usb:
            return SelectUsbLink(config, link, environment, hooks);
        default:
            return RealPort::OPEN_FAILED;
    }
    if (!created) return RealPort::OPEN_FAILED;
    link = std::move(created);
    link->SetHooks(hooks);
    return link->Open(config);
}

OpenResult SelectUsbLink(const ChannelConfig& config, std::unique_ptr<RealPort>& link,
                         const LinkEnvironment& environment, LinkHooks* hooks) {
    Discard(link);
    UsbDriver& driver = environment.usbDriver ? *environment.usbDriver : SystemUsbDriver();
    std::unique_ptr<RealPort> usb(new (std::nothrow) UsbRealPort(driver));
    if (!usb) return RealPort::OPEN_FAILED;
    usb->SetHooks(hooks);
    const OpenResult u = usb->Open(config);
    if (u == RealPort::OPEN_ACCESS_DENIED || u == RealPort::OPEN_MULTIPLE_DEVICES) {
        link = std::move(usb);
        return u;
    }

    std::unique_ptr<RealPort> com(new (std::nothrow) UsbComRealPort(
        environment.settingsDirectory, environment.deviceTreeRoot, environment.usbComSettings));
    if (!com) {
        // Without a second candidate the native result stands.
        link = std::move(usb);
        return u;
    }
    com->SetHooks(hooks);
    const OpenResult c = com->Open(config);

    if (u == RealPort::OPEN_OK && c == RealPort::OPEN_FAILED) {
        Discard(com);
        link = std::move(usb);
        return RealPort::OPEN_OK;
    }
    // Every other case keeps the converter; the native device is closed
    // before it goes, so it is not left held without an owner.
    const LinkFailure native = usb->Failure();
    Discard(usb);
    link = std::move(com);
    if (u == RealPort::OPEN_FAILED) {
        // Neither is there: the native device is the one to name first.
        const LinkFailure& converter = link->Failure();
        if (c == RealPort::OPEN_FAILED && converter.error == platform::Error::NotFound)
            link->SetFailure({native.error, native.kind,
                              native.target + " (nor a USB-to-UART converter at " + converter.target + ")"});
        return c;
    }
    if (c == RealPort::OPEN_OK || c == RealPort::OPEN_MULTIPLE_DEVICES)
        return RealPort::OPEN_MULTIPLE_DEVICES;
    return RealPort::OPEN_FAILED;  // native open, converter refused
}

}  // namespace varnock

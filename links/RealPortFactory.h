#pragma once
// The only place links are made: turns a channel's link type into an open
// link, and for USB chooses between the native device and a converter.
#include <filesystem>
#include <memory>

#include "links/RealPort.h"
#include "links/UsbComDiscovery.h"
#include "links/UsbComRealPort.h"

namespace varnock {

class UsbDriver;

// What the links are made with; the defaults are those of a running system.
struct LinkEnvironment {
    UsbDriver* usbDriver = nullptr;           // null: the driver for real device nodes
    std::filesystem::path settingsDirectory;  // holds Varnock.ini; empty: the executable's directory
    std::filesystem::path deviceTreeRoot = kSystemDeviceTree;
    // The USB-to-UART link's settings; null: read from Varnock.ini in settingsDirectory.
    UsbComSettingsSource* usbComSettings = nullptr;
};

// The environment in force (the system's unless replaced).
const LinkEnvironment& CurrentLinkEnvironment();
// Replaces it; nullptr restores the system's. The caller keeps ownership.
void SetLinkEnvironment(const LinkEnvironment* environment);

// Creates the link for `linkType`, opens it with `config` and hands it to
// `link` whatever the result, so that a later Close finds it; returns the
// open result. A link that `link` still holds is closed and dropped first;
// an unknown type then creates nothing and gives 0. Every link created works
// with `hooks` (null: the direct ones) from its open on.
OpenResult CreateRealPort(LinkType linkType, const ChannelConfig& config, std::unique_ptr<RealPort>& link,
                          const LinkEnvironment& environment = CurrentLinkEnvironment(),
                          LinkHooks* hooks = nullptr);

// A USB link: the native USB device first, then a USB-to-UART converter.
OpenResult SelectUsbLink(const ChannelConfig& config, std::unique_ptr<RealPort>& link,
                         const LinkEnvironment& environment = CurrentLinkEnvironment(),
                         LinkHooks* hooks = nullptr);

}  // namespace varnock

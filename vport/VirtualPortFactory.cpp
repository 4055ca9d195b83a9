#include "vport/VirtualPortFactory.h"

#include "vport/DriverVirtualPort.h"
#include "vport/NetworkPortDriver.h"

namespace varnock {

VirtualPortFactory& VirtualPortFactory::Instance() {
    // Made on first use and never destroyed.
    static VirtualPortFactory* factory = new VirtualPortFactory();
    return *factory;
}

std::unique_ptr<VirtualPort> VirtualPortFactory::Create(int kind, int byteSize, int parity) const {
    return Create(kind, DriverOptions(byteSize, parity));
}

std::unique_ptr<VirtualPort> VirtualPortFactory::Create(int kind, const DriverOptions& options) const {
    if (kind != 1) return nullptr;
    // A served port needs no device directory: its driver is ours alone.
    if (options.listenPort != 0) return std::make_unique<DriverVirtualPort>(new NetworkPortDriver(options));
    return std::make_unique<DriverVirtualPort>(options);
}

}  // namespace varnock

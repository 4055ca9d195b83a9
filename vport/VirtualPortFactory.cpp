#include "vport/VirtualPortFactory.h"

#include "vport/DriverVirtualPort.h"

namespace varnock {

VirtualPortFactory& VirtualPortFactory::Instance() {
    // Made on first use and never destroyed.
    static VirtualPortFactory* factory = new VirtualPortFactory();
    return *factory;
}

std::unique_ptr<VirtualPort> VirtualPortFactory::Create(int kind, int byteSize, int parity) const {
    if (kind != 1) return nullptr;
    return std::make_unique<DriverVirtualPort>(DriverOptions{byteSize, parity});
}

}  // namespace varnock

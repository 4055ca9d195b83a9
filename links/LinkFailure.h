#pragma once
// Why a link could not be opened, kept by the link for whoever reports the
// failure: the system's error and what was tried. The reason line says it
// in the user's terms, with what to do about it where something can be done.
#include <string>

#include "platform/Error.h"

namespace varnock {

struct LinkFailure {
    enum class Target {
        None,
        Device,  // a serial device or a USB node: `target` is its path or name
        Peer,    // a PLC on the network: `target` is "address port N"
    };
    platform::Error error;
    Target kind = Target::None;
    std::string target;

    bool Known() const { return kind != Target::None && !(error == platform::Error::None); }
};

// "Reason: ..." in one line; empty when nothing is known.
std::string ReasonLine(const LinkFailure& failure);

}  // namespace varnock

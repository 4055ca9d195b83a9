#include "links/RealPort.h"

#include "platform/Clock.h"
#include "platform/MessageBox.h"

namespace varnock {

bool LinkHooks::Pause(uint32_t ms) {
    platform::Sleep(ms);
    return false;
}

void LinkHooks::Notify(int message, unsigned style) {
    platform::ShowMessage(message, style);
}

LinkHooks& LinkHooks::Direct() {
    static LinkHooks hooks;
    return hooks;
}

}  // namespace varnock

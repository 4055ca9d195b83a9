#include "links/RealPort.h"

#include "platform/Clock.h"
#include "platform/MessageBox.h"

namespace varnock {

void LinkHooks::Notify(int message, unsigned style) {
    platform::ShowMessage(message, style);
}

LinkHooks& LinkHooks::Direct() {
    static LinkHooks hooks;
    return hooks;
}

void RealPort::Pause(uint32_t ms) {
    Hooks().Wait([ms] { platform::Sleep(ms); });
}

}  // namespace varnock

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

bool LinkHooks::PauseForData(uint32_t ms, const std::function<bool(uint32_t)>& arrived) {
    if (!dynamic_cast<platform::SystemClock*>(&platform::CurrentClock())) return Pause(ms);
    if (Stopping()) return true;
    Wait([&] { arrived(ms); });
    return Stopping();
}

LinkHooks& LinkHooks::Direct() {
    static LinkHooks hooks;
    return hooks;
}

}  // namespace varnock

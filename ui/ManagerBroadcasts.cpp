#include "ui/ManagerBroadcasts.h"

#include "bridge/BridgeChannel.h"
#include "bridge/VirtualPortManager.h"
#include "vport/VirtualPort.h"

namespace varnock {

int ManagerBroadcasts::ConnectAll() {
    return VirtualPortManager::Instance()->ConnectAll();
}

int ManagerBroadcasts::DisconnectAll() {
    return VirtualPortManager::Instance()->DisconnectAll();
}

void ManagerBroadcasts::SetMainWindow(MainWindowLink* window) {
    VirtualPortManager::Instance()->SetMainWindow(window);
}

std::string ManagerBroadcasts::NetworkClient(int channel) {
    VirtualPortManager* manager = VirtualPortManager::Instance();
    if (channel < 0 || channel >= manager->ChannelCount()) return {};
    VirtualPort* port = manager->Channel(channel)->Port();
    return port ? port->NetworkClient() : std::string();
}

void ManagerBroadcasts::DeleteManager() {
    VirtualPortManager::DeleteInstance();
}

}  // namespace varnock

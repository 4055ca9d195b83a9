#include "ui/ManagerBroadcasts.h"

#include "bridge/VirtualPortManager.h"

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

void ManagerBroadcasts::DeleteManager() {
    VirtualPortManager::DeleteInstance();
}

}  // namespace varnock

#pragma once
// The main window's broadcasts through the process's channel manager.
#include "ui/MainDialog.h"

namespace varnock {

class ManagerBroadcasts : public ChannelBroadcasts {
public:
    int ConnectAll() override;
    int DisconnectAll() override;
    void SetMainWindow(MainWindowLink* window) override;
    void DeleteManager() override;
    std::string NetworkClient(int channel) override;
};

}  // namespace varnock

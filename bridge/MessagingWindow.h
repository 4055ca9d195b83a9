#pragma once
// The hidden per-channel window "VNModuleMessagingWindow": every operation
// that touches the link on behalf of a worker thread or the main window is a
// message to it, so they all run one after another on the main thread.
#include <cstdint>
#include <memory>

#include "platform/MessageLoop.h"

namespace varnock {

class BridgeChannel;

constexpr unsigned WM_USER = 0x0400;
constexpr unsigned WM_CHANNEL_CONNECT = WM_USER + 2;            // 1026
constexpr unsigned WM_CHANNEL_DISCONNECT = WM_USER + 3;         // 1027
constexpr unsigned WM_CHANNEL_SEND_LDR_DATA = WM_USER + 4;      // 1028, lParam ByteArray*
constexpr unsigned WM_CHANNEL_QUEUE_LDR_DATA = WM_USER + 5;     // 1029, wParam length, lParam bytes
constexpr unsigned WM_CHANNEL_SYNC_COMM_PARAMS = WM_USER + 6;   // 1030, wParam force flag
constexpr unsigned WM_CHANNEL_PROBE = WM_USER + 7;              // 1031
constexpr unsigned WM_CHANNEL_CLOSE_LINK = WM_USER + 8;         // 1032
constexpr unsigned WM_CHANNEL_DELIVER_PLC_FRAME = WM_USER + 9;  // 1033, lParam ByteArray*
constexpr unsigned WM_CHANNEL_READ_LINK = WM_USER + 10;         // 1034, lParam ReadLinkRequest*
constexpr unsigned WM_CHANNEL_SET_MAIN_WINDOW = WM_USER + 11;   // 1035, lParam MainWindowLink*

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

class ByteArray;

// lParam of WM_CHANNEL_READ_LINK.
struct ReadLinkRequest {
    ByteArray* buffer = nullptr;
    int count = 0;
    int* received = nullptr;
    int timeoutMs = 0;
};

class MessagingWindow {
public:
    static constexpr const char* kWindowName = "VNModuleMessagingWindow";

    MessagingWindow() = default;
    ~MessagingWindow();
    MessagingWindow(const MessagingWindow&) = delete;
    MessagingWindow& operator=(const MessagingWindow&) = delete;

    // Binds the window to its channel; messages reach the channel from now on.
    bool Create(BridgeChannel* owner);
    // Messages sent afterwards, and senders still waiting, get 0. Waits for a
    // handler that is running on another thread.
    void Destroy();
    bool IsCreated() const;

    // Runs the handler on the main thread and returns its result. From the
    // main thread it runs at once; from another thread the caller blocks until
    // the main thread has run it, or the window is destroyed (result 0).
    LRESULT SendMessage(unsigned message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT Dispatch(BridgeChannel& channel, unsigned message, WPARAM wParam, LPARAM lParam);

    BridgeChannel* m_owner = nullptr;
    // Tripped by Destroy; none until Create.
    std::shared_ptr<platform::CancelToken> m_sends;
};

}  // namespace varnock

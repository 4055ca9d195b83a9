#include "bridge/MessagingWindow.h"

#include "bridge/BridgeChannel.h"

namespace varnock {

MessagingWindow::~MessagingWindow() {
    Destroy();
}

bool MessagingWindow::Create(BridgeChannel* owner) {
    if (m_sends) return false;
    m_owner = owner;
    m_sends = std::make_shared<platform::CancelToken>();
    return true;
}

void MessagingWindow::Destroy() {
    if (m_sends) m_sends->Cancel();
}

bool MessagingWindow::IsCreated() const {
    return m_sends && !m_sends->IsCancelled();
}

LRESULT MessagingWindow::SendMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
    if (!IsCreated() || !m_owner) return 0;
    // The handler holds only the channel, which the token keeps it from
    // touching once the window is destroyed.
    BridgeChannel* owner = m_owner;
    return platform::MessageLoop::Main().Send(
        [owner, message, wParam, lParam] { return Dispatch(*owner, message, wParam, lParam); }, m_sends);
}

LRESULT MessagingWindow::Dispatch(BridgeChannel& channel, unsigned message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CHANNEL_CONNECT: {
            const int result = channel.ConnectChannel();
            return channel.Status().ConnectResult(result, channel.ConnectFailure());
        }
        case WM_CHANNEL_DISCONNECT:
            return channel.Status().Disconnected(channel.DisconnectChannel());
        case WM_CHANNEL_SEND_LDR_DATA:
            return channel.SendLDRData(reinterpret_cast<ByteArray*>(lParam));
        case WM_CHANNEL_QUEUE_LDR_DATA:
            channel.QueueLDRData(static_cast<int>(wParam), reinterpret_cast<const char*>(lParam));
            return 0;
        case WM_CHANNEL_SYNC_COMM_PARAMS:
            return channel.SendCommParams(static_cast<int>(wParam));
        case WM_CHANNEL_PROBE:
            return channel.SendProbe();
        case WM_CHANNEL_CLOSE_LINK:
            channel.CloseLink();
            return 0;
        case WM_CHANNEL_DELIVER_PLC_FRAME:
            return channel.DeliverPLCFrame(reinterpret_cast<ByteArray*>(lParam));
        case WM_CHANNEL_READ_LINK:
            return channel.ReadLink(reinterpret_cast<ReadLinkRequest*>(lParam));
        case WM_CHANNEL_SET_MAIN_WINDOW:
            channel.SetMainWindowLink(reinterpret_cast<MainWindowLink*>(lParam));
            return 0;
        default:
            return 0;
    }
}

}  // namespace varnock

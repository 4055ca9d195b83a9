// The channel's window: each message reaches its handler and returns its
// result, and a destroyed window runs nothing more. (That a worker's send
// waits for the main thread is the message loop's own.)
#include "bridge/MainWindowLink.h"
#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

struct NullMainWindow : MainWindowLink {
    void OnLinkLost() override {}
};

TEST_F(BridgeTest, ChannelWindowRunsEachHandler) {
    WriteSettings({"COM5,COM9,,,No"});
    CreateChannels();
    NullMainWindow window;
    MessagingWindow& w = Channel(0).Window();
    EXPECT_EQ(w.SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, reinterpret_cast<LPARAM>(&window)), 0);
    EXPECT_EQ(Channel(0).MainWindow(), &window);
    EXPECT_EQ(w.SendMessage(WM_CHANNEL_DISCONNECT, 0, 0), 0);  // no link held
    EXPECT_EQ(w.SendMessage(WM_USER + 40, 0, 0), 0);
    const char bytes[] = "abc";
    w.SendMessage(WM_CHANNEL_QUEUE_LDR_DATA, 3, reinterpret_cast<LPARAM>(bytes));
    EXPECT_EQ(Channel(0).m_bLDRDataUnProcessed.load(), 1);
    auto head = Channel(0).TakeLDRHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(*head, Bytes("abc"));

    w.Destroy();
    EXPECT_EQ(w.SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, 0), 0);
    EXPECT_EQ(Channel(0).MainWindow(), &window);
}

}  // namespace
}  // namespace varnock::test

// The channel's window: a send from a worker thread waits for the main
// thread, one on the main thread runs at once, and a destroyed window runs
// nothing more.
#include <atomic>
#include <thread>

#include "bridge/MainWindowLink.h"
#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

struct NullMainWindow : MainWindowLink {
    void OnLinkLost() override {}
};

TEST_F(BridgeTest, ChannelWindowSendsWaitForTheMainThread) {
    WriteSettings({"COM5,COM9,,,No"});
    CreateChannels();
    NullMainWindow window;
    std::atomic<LRESULT> result{-1};
    std::thread worker([&] {
        result =
            Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, reinterpret_cast<LPARAM>(&window));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return result.load() != -1; }));
    worker.join();
    EXPECT_EQ(Channel(0).MainWindow(), &window);
    EXPECT_EQ(result.load(), 0);

    // On the main thread it runs at once; results come back.
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, 0), 0);
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_DISCONNECT, 0, 0), 0);  // no link held
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_USER + 40, 0, 0), 0);
    const char bytes[] = "abc";
    Channel(0).Window().SendMessage(WM_CHANNEL_QUEUE_LDR_DATA, 3, reinterpret_cast<LPARAM>(bytes));
    EXPECT_EQ(Channel(0).m_bLDRDataUnProcessed.load(), 1);
    auto head = Channel(0).TakeLDRHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(*head, Bytes("abc"));

    // Destroyed, it runs nothing more; waiting senders are let go as any
    // cancelled send is.
    Channel(0).Window().Destroy();
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, 1), 0);
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);
}

}  // namespace
}  // namespace varnock::test

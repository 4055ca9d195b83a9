// The channel's window: sends from worker threads wait for the main thread,
// sends on the main thread run at once, and a destroyed window releases
// every waiting sender.
#include <atomic>
#include <thread>

#include "bridge/MainWindowLink.h"
#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

class NullMainWindow : public MainWindowLink {
public:
    void EnableControl(int, bool) override {}
    void ClearConnectedFlag() override {}
    int ShowOwnedMessage(int, unsigned) override { return 1; }
};

class MessagingWindowTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        WriteSettings({"COM5,COM9,,,No"});
        CreateChannels();
        m_messages.Clear();
    }
    // Sends from a worker thread; the result lands in m_result.
    void SendFromWorker(unsigned message, LPARAM lParam) {
        m_worker = std::thread([this, message, lParam] {
            m_result = Channel(0).Window().SendMessage(message, 0, lParam);
            m_done = true;
        });
    }
    void TearDown() override {
        if (m_worker.joinable()) m_worker.join();
        platform::MessageLoop::Main().Restart();
        BridgeTest::TearDown();
    }
    NullMainWindow m_window;
    std::thread m_worker;
    std::atomic<LRESULT> m_result{-1};
    std::atomic<bool> m_done{false};
};

TEST_F(MessagingWindowTest, WorkerSendWaitsUntilTheMainThreadRunsIt) {
    SendFromWorker(WM_CHANNEL_SET_MAIN_WINDOW, reinterpret_cast<LPARAM>(&m_window));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(m_done.load());
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return m_done.load(); }));
    EXPECT_EQ(Channel(0).MainWindow(), &m_window);
    EXPECT_EQ(m_result.load(), 0);

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
}

TEST_F(MessagingWindowTest, DestroyedWindowReleasesWaitingSenders) {
    SendFromWorker(WM_CHANNEL_SET_MAIN_WINDOW, reinterpret_cast<LPARAM>(&m_window));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Channel(0).Window().Destroy();
    ASSERT_TRUE(WaitFor([&] { return m_done.load(); }));
    EXPECT_EQ(m_result.load(), 0);
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);  // the queued handler never ran
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, 1), 0);
}

}  // namespace
}  // namespace varnock::test

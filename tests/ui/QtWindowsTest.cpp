// The Qt windows on the offscreen platform, with the real templates of the resource library.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <thread>

#include "bridge/VirtualPortManager.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "tests/settings/SettingsFixture.h"
#include "tests/support/HostPort.h"
#include "tests/support/SimulatedPlc.h"
#include "tests/ui/FakeViews.h"
#include "tools/plcsim/PlcSimulator.h"
#include "ui/HelpLauncher.h"
#include "ui/LinkSettingsDialog.h"
#include "ui/ManagerBroadcasts.h"
#include "ui/NetworkPortDialog.h"
#include "ui/qt/Ipv4AddressEdit.h"
#include "ui/qt/ModalChain.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/QtMessageSink.h"
#include "ui/qt/TemplateLoader.h"

// Fontconfig's process-long cache would be reported by the sanitizer builds' leak checker.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace varnock {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

class QtWindowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("test_ui_qt"), nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        platform::MessageLoop::Main().BindToCurrentThread();
        ReopenModalChain();
    }

    // The sample settings files as shipped, with extra rows when given.
    void LoadSample(const std::string& rows = "") {
        fs::path samples = fs::path(VARNOCK_SOURCE_DIR) / "settings/samples";
        std::string setting = test::ReadFile(samples / kVarnockSettingIniName);
        if (!rows.empty()) setting.replace(setting.find("items=1"), 7, "items=3") += rows;
        fixture.Write(test::ReadFile(samples / kVarnockIniName), setting);
        ASSERT_EQ(fixture.settings.Load(), 1);
    }
    // The sample's channel as virtual port `port` to a PLC at `address`, in the process's channel manager.
    plcsim::PlcSimulator& SampleChannelTo(const std::string& address, const std::string& port) {
        plcsim::PlcSimulator& plc = test::StartPlc(plcs, address, fixture.devices.path());
        LoadSample();
        AllocationRow row = *fixture.settings.GetRow(0);
        row.m_strIPAddress = address;
        row.m_strVirtualPort = port;
        fixture.settings.ReplaceRow(row, 0);
        VirtualPortManager::Instance()->SetSettings(&fixture.settings);
        VirtualPortManager::Instance()->CreateChannel(1);
        return plc;
    }
    // Runs the window modally; `whileOpen` acts from inside its loop; the window then ends if still open.
    int RunModal(ChannelBroadcasts& channels, const std::function<void(QDialog*)>& whileOpen) {
        QtMainWindow window(channels, help);
        running = &window;
        EXPECT_TRUE(window.Loaded());
        window.SetSettings(&fixture.settings);
        QTimer::singleShot(0, [&] {
            whileOpen(window.Dialog());
            if (window.Dialog()->isVisible()) window.Dialog()->done(IDCANCEL);
        });
        return window.DoModal();
    }
    template <class T = QWidget>
    static T* Control(QWidget* window, int id) {
        return qobject_cast<T*>(FindControl(window, id));
    }
    // Runs `act` on the dialog `name` once `button` has opened it over `main`.
    static void OnDialog(QDialog* main, int button, const char* name, std::function<void(QDialog*)> act) {
        QTimer::singleShot(0, [main, name, act] {
            auto* dialog = main->findChild<QDialog*>(name);
            ASSERT_TRUE(dialog && dialog->isVisible());
            act(dialog);
            if (dialog->isVisible()) dialog->reject();
        });
        QTest::mouseClick(Control(main, button), Qt::LeftButton);
    }
    static Texts Cells(QDialog* main, int row) {
        auto* table = Control<QTableWidget>(main, IDC_MAIN_LIST);
        Texts texts;
        for (int column = 0; column < table->columnCount(); ++column)
            texts.push_back(table->item(row, column) ? table->item(row, column)->text().toStdString() : "");
        return texts;
    }

    test::SettingsFixture fixture;
    test::Plcs plcs;                  // stopped before the clock of a test goes
    QtMainWindow* running = nullptr;  // the window RunModal runs
    test::RecordingChannels channels;
    HelpLauncher help{fixture.dir.path()};
};

// A stop with the link dialog and the link-loss box over it: innermost first, then the window closes.
TEST_F(QtWindowsTest, ConnectToThePlcSimulatorThenAStopEndsTheModalChainFirst) {
    auto& plc = SampleChannelTo("127.0.0.71", "COM71");
    AllocationRow row = *fixture.settings.GetRow(0);
    ManagerBroadcasts broadcasts;
    QtMessageSink boxes;
    std::thread monitor;  // stands for the channel's: it must get its answer
    int linkDialog = -1;
    int result = RunModal(broadcasts, [&](QDialog* main) {
        QTest::mouseClick(Control(main, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_TRUE(Control(main, IDC_MAIN_DISCONNECT)->isEnabled());
        EXPECT_FALSE(Control(main, IDC_MAIN_CONNECT)->isEnabled());
        EXPECT_EQ(plc.RequestsOf(plcsim::RequestKind::Connect).size(), 1u);
        EXPECT_TRUE(fixture.messages.Numbers().empty());

        platform::SetMessageSink(&boxes);
        QTimer::singleShot(0, [&] {  // inside the link settings dialog's loop
            monitor = std::thread([] { platform::ShowMessage(kMsgLinkLost, platform::kMbIconError); });
            auto* poll = new QTimer(main);
            QObject::connect(poll, &QTimer::timeout, [&, poll] {
                if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) return;
                poll->stop();
                running->EndOnStop();
                running->EndOnStop();  // a second signal changes nothing
            });
            poll->start(5);
        });
        linkDialog = running->View().RunLinkSettings(row, {"COM", "USB", "Ethernet"});
        EXPECT_TRUE(QTest::qWaitFor([&] { return !main->isVisible(); }));
        // Boxes asked for from now on do not wait for anyone.
        EXPECT_EQ(platform::ShowMessage(kMsgNoCommandReply, platform::kMbOk), 1);
    });
    monitor.join();
    EXPECT_EQ(std::tuple(linkDialog, result, plc.RequestsOf(plcsim::RequestKind::Disconnect).size()),
              std::tuple(IDCANCEL, IDOK, 1u));
    platform::SetMessageSink(&fixture.messages);
}

// A channel's row follows it live: connected, the host's port opened, the link lost (probes unanswered),
// connected again, disconnected, and a PLC gone: the connect fails, and the cell says why.
TEST_F(QtWindowsTest, StatusColumnFollowsTheChannel) {
    platform::ScaledClock clock(50);  // probes 30 s apart come every 0.6 s
    platform::ScopedClock scopedClock(clock);
    auto& plc = SampleChannelTo("127.0.0.161", "COM61");
    ManagerBroadcasts broadcasts;
    RunModal(broadcasts, [&](QDialog* main) {
        auto becomes = [&](const char* text, int ms = 5000) {
            return QTest::qWaitFor([&] { return Cells(main, 0)[kMainStatusColumn] == text; }, ms);
        };
        EXPECT_EQ(Cells(main, 0)[kMainStatusColumn], "not connected");
        QTest::mouseClick(Control(main, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_TRUE(becomes("connected"));
        auto host = std::make_unique<test::HostPort>(fixture.devices.path() / "COM61");
        EXPECT_TRUE(becomes("connected, host port open"));
        plc.SetFault(plcsim::RequestKind::Probe, plcsim::Fault::NoAnswer, 4);
        EXPECT_TRUE(becomes("link lost", 15000));
        EXPECT_EQ(fixture.messages.Numbers(), std::vector<int>{kMsgLinkLost});
        QTest::mouseClick(Control(main, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_TRUE(becomes("connected, host port open"));
        host.reset();
        EXPECT_TRUE(becomes("connected"));
        QTest::mouseClick(Control(main, IDC_MAIN_DISCONNECT), Qt::LeftButton);
        EXPECT_TRUE(becomes("not connected"));
        plcs.clear();
        QTest::mouseClick(Control(main, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_TRUE(becomes("connect failed"));
        auto* status = Control<QTableWidget>(main, IDC_MAIN_LIST)->item(0, kMainStatusColumn);
        EXPECT_TRUE(status->toolTip().startsWith("Reason: 127.0.0.161 port 2538 refused the connection."));
    });
}

// The network port dialog from its button: its template's controls answer the logic, OK holds the change.
TEST_F(QtWindowsTest, NetworkPortDialogServesTheSelectedPort) {
    LoadSample();
    RunModal(channels, [&](QDialog* main) {
        OnDialog(main, IDC_MAIN_NETWORK, "NetworkPort", [&](QDialog* dialog) {
            EXPECT_FALSE(Control(dialog, IDC_NET_PORT)->isEnabled());
            QTest::mouseClick(Control(dialog, IDC_NET_SERVED), Qt::LeftButton);
            EXPECT_TRUE(Control(dialog, IDC_NET_PORT)->isEnabled());
            Control<Ipv4AddressEdit>(dialog, IDC_NET_ADDRESS)->SetFields({0, 0, 0, 0});
            Control<QLineEdit>(dialog, IDC_NET_PORT)->setText("2300");
            Control<QLineEdit>(dialog, IDC_NET_CLIENTS)->setText("10.0.0.5");
            QTest::mouseClick(Control(dialog, IDOK), Qt::LeftButton);
            EXPECT_FALSE(dialog->isVisible());
        });
        EXPECT_EQ(Cells(main, 0)[0], "COM5 (tcp 0.0.0.0:2300)");
    });
    EXPECT_EQ(fixture.settings.GetNetworkPort("COM5"), (NetworkPortConfig{"0.0.0.0", 2300, {"10.0.0.5"}}));
}

// Writes the renderings of the windows for the README into $VARNOCK_RENDER_DIR; skipped without it.
TEST_F(QtWindowsTest, Renderings) {
    const char* out = std::getenv("VARNOCK_RENDER_DIR");
    if (!out || !*out) GTEST_SKIP() << "VARNOCK_RENDER_DIR not set";
    LoadSample(
        "2=COM6,/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0,SERIAL2,,Yes\n"
        "3=COM7,USB,USB,,No\n"
        "[NetworkPorts]\nCOM5=0.0.0.0:2217\n[NetworkClients]\nCOM5=10.0.0.5,10.0.0.6\n");
    channels.clients[0] = "10.0.0.5:51234";
    int saved = 0;  // a dialog that does not open is missed, not skipped
    auto save = [out, &saved](QWidget* window, const char* name) {
        QTest::qWait(50);
        saved += window->grab().save(QString::fromStdString((fs::path(out) / name).string()));
    };
    RunModal(channels, [&](QDialog* main) {
        // The dialogs first: rows are edited only while not connected.
        OnDialog(main, IDC_MAIN_EDIT, "LinkSettings",
                 [&](QDialog* dialog) { save(dialog, "link-settings.png"); });
        OnDialog(main, IDC_MAIN_NETWORK, "NetworkPort",
                 [&](QDialog* dialog) { save(dialog, "network-port.png"); });
        QTest::mouseClick(Control(main, IDC_MAIN_CONNECT), Qt::LeftButton);
        running->Logic().OnChannelState(0, ChannelState::HostPortOpen, "");
        running->Logic().OnChannelState(1, ChannelState::Connected, "");
        running->Logic().OnChannelState(2, ChannelState::ConnectFailed,
                                        "Reason: 192.168.0.10 port 2538 refused the connection.");
        save(main, "main-window.png");
    });
    EXPECT_EQ(saved, 3);
}

}  // namespace
}  // namespace varnock

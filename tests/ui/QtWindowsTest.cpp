// The Qt windows on the offscreen platform, with the real templates of the
// resource library.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "bridge/VirtualPortManager.h"
#include "platform/MessageLoop.h"
#include "platform/ShellOpen.h"
#include "tests/settings/SettingsFixture.h"
#include "tools/plcsim/PlcSimulator.h"
#include "ui/HelpLauncher.h"
#include "ui/LinkSettingsDialog.h"
#include "ui/ManagerBroadcasts.h"
#include "ui/qt/Ipv4AddressEdit.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/TemplateLoader.h"

// Fontconfig keeps a cache for the life of the process that the leak
// checker of sanitizer builds would report.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace varnock {
namespace {

namespace fs = std::filesystem;

class RecordingChannels : public ChannelBroadcasts {
public:
    int ConnectAll() override { return ++connects, 1; }
    int DisconnectAll() override { return ++disconnects, 1; }
    void SetMainWindow(MainWindowLink*) override {}
    void DeleteManager() override { ++deletes; }
    int connects = 0, disconnects = 0, deletes = 0;
};

class QtWindowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_ui_qt";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        platform::MessageLoop::Main().BindToCurrentThread();
        platform::MessageLoop::Main().Restart();
    }

    // The sample settings files as shipped, with extra rows when given.
    void LoadSample(const std::string& rows = "") {
        fs::path samples = fs::path(VARNOCK_SOURCE_DIR) / "settings/samples";
        std::string setting = test::ReadFile(samples / kVarnockSettingIniName);
        if (!rows.empty()) {
            setting.replace(setting.find("items=1"), 7, "items=3");
            setting += rows;
        }
        fixture.Write(test::ReadFile(samples / kVarnockIniName), setting);
        ASSERT_EQ(fixture.settings.Load(), 1);
    }

    // Runs `window` modally; `whileOpen` acts on it from inside its loop and
    // the window is ended afterwards if it is still open.
    int RunModal(QtMainWindow& window, const std::function<void()>& whileOpen) {
        QTimer::singleShot(0, [&] {
            whileOpen();
            if (window.Dialog()->isVisible()) window.Dialog()->done(IDCANCEL);
        });
        return window.DoModal();
    }
    template <class T = QWidget>
    static T* Control(QWidget* window, int id) {
        return qobject_cast<T*>(FindControl(window, id));
    }
    // Runs `act` on the link settings dialog once it is open over `parent`.
    static void OnLinkDialog(QWidget* parent, std::function<void(QDialog*)> act) {
        QTimer::singleShot(0, [parent, act] {
            auto* dialog = parent->findChild<QDialog*>("LinkSettings");
            ASSERT_NE(dialog, nullptr);
            ASSERT_TRUE(dialog->isVisible());
            act(dialog);
            if (dialog->isVisible()) dialog->reject();
        });
    }
    static std::vector<std::string> Cells(QTableWidget* table, int row) {
        std::vector<std::string> texts;
        for (int column = 0; column < table->columnCount(); ++column) {
            auto* item = table->item(row, column);
            texts.push_back(item ? item->text().toStdString() : "<none>");
        }
        return texts;
    }

    test::SettingsFixture fixture;
    platform::RecordingShellOpener opener;
    platform::ScopedShellOpener scopedOpener{opener};
    RecordingChannels channels;
    HelpLauncher help{fixture.dir.path()};
};

TEST_F(QtWindowsTest, MainWindowListsTheSampleRows) {
    LoadSample("3=COM6,COM3,SERIAL2,,Yes\n");
    QtMainWindow window(channels, help);
    ASSERT_TRUE(window.Loaded());
    window.SetSettings(&fixture.settings);
    int result = RunModal(window, [&] {
        QDialog* dialog = window.Dialog();
        auto* table = Control<QTableWidget>(dialog, IDC_MAIN_LIST);
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->rowCount(), 2);
        EXPECT_EQ(Cells(table, 0), (std::vector<std::string>{"COM5", "Ethernet", "127.0.0.1", "No"}));
        EXPECT_EQ(Cells(table, 1), (std::vector<std::string>{"COM6", "COM3", "SERIAL2", "Yes"}));
        EXPECT_EQ(table->horizontalHeaderItem(1)->text().toStdString(), platform::LoadString(103));
        EXPECT_EQ(table->columnWidth(3), 160);
        // Shown with the top row selected, in the template's button states.
        EXPECT_EQ(table->currentRow(), 0);
        EXPECT_TRUE(Control(dialog, IDC_MAIN_CONNECT)->isEnabled());
        EXPECT_TRUE(Control(dialog, IDC_MAIN_EDIT)->isEnabled());
        EXPECT_FALSE(Control(dialog, IDC_MAIN_DISCONNECT)->isEnabled());

        // The system menu's entries, in a menu of the window.
        QMenu* menu = dialog->findChild<QMenu*>();
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 6);  // with two separators
        menu->actions().at(1)->trigger();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
        QTest::keyClick(table, Qt::Key_F1);
        EXPECT_EQ(opener.Opened(), (std::vector<fs::path>{fixture.dir / "VarnockToolE.pdf",
                                                          fixture.dir / "VarnockToolE.pdf"}));

        // Enter on the flag column switches it.
        table->setCurrentCell(1, 3);
        QTest::keyClick(table, Qt::Key_Return);
        EXPECT_EQ(Cells(table, 1)[3], "No");
        EXPECT_EQ(fixture.settings.GetRow(1)->m_bNoConnectCommand, 0);
        EXPECT_TRUE(dialog->isVisible());

        QTest::mouseClick(Control(dialog, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_EQ(channels.connects, 1);
        EXPECT_TRUE(Control(dialog, IDC_MAIN_DISCONNECT)->isEnabled());
        // The close box disconnects and saves.
        dialog->close();
        EXPECT_FALSE(dialog->isVisible());
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(channels.disconnects, 1);
    EXPECT_EQ(channels.deletes, 1);
    EXPECT_NE(fixture.Setting().find("3=COM6,COM3,SERIAL2,,No"), std::string::npos);
}

TEST_F(QtWindowsTest, LinkSettingsOpenOnTheSelectedRowAndOkReachesListAndSettings) {
    LoadSample("3=COM6,COM3,SERIAL2,,Yes\n");
    QtMainWindow window(channels, help);
    window.SetSettings(&fixture.settings);
    RunModal(window, [&] {
        QDialog* main = window.Dialog();
        auto* table = Control<QTableWidget>(main, IDC_MAIN_LIST);
        table->setCurrentCell(1, 0);

        OnLinkDialog(main, [&](QDialog* dialog) {
            EXPECT_EQ(Control<QLabel>(dialog, IDC_LINK_VIRTUAL_PORT)->text(), "COM6");
            EXPECT_TRUE(Control<QAbstractButton>(dialog, IDC_LINK_SERIAL)->isChecked());
            EXPECT_EQ(Control<QComboBox>(dialog, IDC_LINK_COM_PORT)->currentText(), "COM3");
            EXPECT_FALSE(Control(dialog, IDC_LINK_ADDRESS)->isEnabled());
            EXPECT_TRUE(Control<QAbstractButton>(dialog, IDC_LINK_NO_CONNECT)->isChecked());

            // Ethernet, typed as a user would: the dot moves to the next field.
            QTest::mouseClick(Control(dialog, IDC_LINK_ETHERNET), Qt::LeftButton);
            auto* address = Control<Ipv4AddressEdit>(dialog, IDC_LINK_ADDRESS);
            ASSERT_TRUE(address->isEnabled());
            EXPECT_FALSE(Control(dialog, IDC_LINK_COM_PORT)->isEnabled());
            address->Clear();
            QTest::mouseClick(Control(dialog, IDOK), Qt::LeftButton);
            EXPECT_EQ(fixture.messages.Numbers(), std::vector<int>{207});
            ASSERT_TRUE(dialog->isVisible());

            address->Field(0)->setFocus();
            for (char c : std::string("10.0.0.1")) QTest::keyClick(dialog->focusWidget(), c);
            EXPECT_EQ(address->Fields().value, (std::array<int, 4>{10, 0, 0, 1}));
            QTest::mouseClick(Control(dialog, IDC_LINK_CONNECT), Qt::LeftButton);
            QTest::mouseClick(Control(dialog, IDOK), Qt::LeftButton);
            EXPECT_FALSE(dialog->isVisible());
        });
        QTest::mouseClick(Control(main, IDC_MAIN_EDIT), Qt::LeftButton);
        EXPECT_EQ(Cells(table, 1), (std::vector<std::string>{"COM6", "Ethernet", "10.0.0.1", "No"}));
        const AllocationRow* row = fixture.settings.GetRow(1);
        EXPECT_EQ(
            std::tuple(row->m_nLinkType, row->m_strIPAddress, row->m_strRealPort, row->m_bNoConnectCommand),
            std::tuple(1, "10.0.0.1", "Ethernet", 0));
    });
}

TEST_F(QtWindowsTest, LinkLossFromAnotherThreadReachesTheWindow) {
    LoadSample();
    QtMainWindow window(channels, help);
    window.SetSettings(&fixture.settings);
    RunModal(window, [&] {
        QDialog* dialog = window.Dialog();
        QTest::mouseClick(Control(dialog, IDC_MAIN_CONNECT), Qt::LeftButton);
        ASSERT_EQ(window.Logic().IsConnected(), 1);
        std::atomic<bool> done{false};
        std::thread monitor([&] {
            MainWindowLink& link = window.Logic();
            link.EnableControl(MainWindowLink::kConnectButton, true);
            link.EnableControl(MainWindowLink::kDisconnectButton, false);
            link.ClearConnectedFlag();
            link.ShowOwnedMessage(211, platform::kMbIconError);
            done = true;
        });
        // Served by the window's own event loop.
        EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
        monitor.join();
        EXPECT_TRUE(Control(dialog, IDC_MAIN_CONNECT)->isEnabled());
        EXPECT_FALSE(Control(dialog, IDC_MAIN_DISCONNECT)->isEnabled());
        EXPECT_EQ(window.Logic().IsConnected(), 0);
        EXPECT_EQ(fixture.messages.Numbers(), std::vector<int>{211});
    });
}

TEST_F(QtWindowsTest, ConnectAgainstThePlcSimulatorEnablesDisconnect) {
    auto transport = plcsim::ListenTcp("127.0.0.71");
    ASSERT_NE(transport, nullptr);
    plcsim::PlcSimulator plc(std::move(transport));
    plc.Start();
    LoadSample();
    AllocationRow row = *fixture.settings.GetRow(0);
    row.m_strIPAddress = "127.0.0.71";
    row.m_strVirtualPort = "COM71";
    fixture.settings.ReplaceRow(row, 0);

    VirtualPortManager* manager = VirtualPortManager::Instance();
    manager->SetSettings(&fixture.settings);
    manager->CreateChannel(1);
    ManagerBroadcasts broadcasts;
    QtMainWindow window(broadcasts, help);
    window.SetSettings(&fixture.settings);
    RunModal(window, [&] {
        QDialog* dialog = window.Dialog();
        QTest::mouseClick(Control(dialog, IDC_MAIN_CONNECT), Qt::LeftButton);
        EXPECT_TRUE(Control(dialog, IDC_MAIN_DISCONNECT)->isEnabled());
        EXPECT_FALSE(Control(dialog, IDC_MAIN_CONNECT)->isEnabled());
        EXPECT_FALSE(Control(dialog, IDC_MAIN_EDIT)->isEnabled());
        EXPECT_EQ(plc.RequestsOf(plcsim::RequestKind::Connect).size(), 1u);
        QTest::mouseClick(Control(dialog, IDC_MAIN_EXIT), Qt::LeftButton);
    });
    EXPECT_EQ(plc.RequestsOf(plcsim::RequestKind::Disconnect).size(), 1u);
    EXPECT_TRUE(fixture.messages.Numbers().empty());
    plc.Stop();
}

// Writes the renderings of both windows for the README into
// $VARNOCK_RENDER_DIR; skipped without it.
TEST_F(QtWindowsTest, Renderings) {
    const char* out = std::getenv("VARNOCK_RENDER_DIR");
    if (!out || !*out) GTEST_SKIP() << "VARNOCK_RENDER_DIR not set";
    LoadSample("2=COM6,COM3,SERIAL2,,Yes\n3=COM7,USB,USB,,No\n");
    QtMainWindow window(channels, help);
    window.SetSettings(&fixture.settings);
    RunModal(window, [&] {
        QDialog* main = window.Dialog();
        QTest::qWait(50);
        EXPECT_TRUE(main->grab().save(QString::fromStdString((fs::path(out) / "main-window.png").string())));
        OnLinkDialog(main, [&](QDialog* dialog) {
            QTest::qWait(50);
            EXPECT_TRUE(
                dialog->grab().save(QString::fromStdString((fs::path(out) / "link-settings.png").string())));
        });
        QTest::mouseClick(Control(main, IDC_MAIN_EDIT), Qt::LeftButton);
    });
}

}  // namespace
}  // namespace varnock

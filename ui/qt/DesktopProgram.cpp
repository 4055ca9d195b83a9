#include "ui/qt/DesktopProgram.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>

#include "bridge/FrameTrace.h"
#include "bridge/VirtualPortManager.h"
#include "platform/LocalDatagram.h"
#include "platform/MessageLoop.h"
#include "platform/StopSignals.h"
#include "settings/SettingsManager.h"
#include "ui/HelpLauncher.h"
#include "ui/ManagerBroadcasts.h"
#include "ui/qt/ModalChain.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/QtMessageSink.h"

namespace varnock {
namespace {

QtMessageHandler g_qtHandler = nullptr;

// Qt ends the process with abort() when it cannot open the display; say why
// and end with 1 instead of a crash.
void OnQtStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "varnock: the display cannot be used: %s\n", qPrintable(text));
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (g_qtHandler) g_qtHandler(type, context, text);
}

}  // namespace

bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

DesktopProgram::DesktopProgram(const char* programName)
    : m_programName(programName ? programName : "varnock") {
    m_argv[0] = m_programName.data();
}

DesktopProgram::~DesktopProgram() {
    m_raise.reset();
    m_raiseSocket.reset();
    m_stop.reset();
    if (m_sink) platform::SetMessageSink(nullptr);
}

void DesktopProgram::Start() {
    if (m_app || !DisplayAvailable()) return;
    g_qtHandler = qInstallMessageHandler(OnQtStartMessage);
    m_app = std::make_unique<QApplication>(m_argc, m_argv);
    qInstallMessageHandler(g_qtHandler);
    QApplication::setApplicationName(QStringLiteral("Varnock"));
    m_sink = std::make_unique<QtMessageSink>();
    platform::SetMessageSink(m_sink.get());

    // From here on a stop ends whatever box is open, also those of the
    // settings load and of channel creation.
    platform::InstallStopSignals();
    if (platform::StopSignalFd() < 0) return;
    m_stop = std::make_unique<QSocketNotifier>(platform::StopSignalFd(), QSocketNotifier::Read);
    QObject::connect(m_stop.get(), &QSocketNotifier::activated, [this] { OnStop(); });
}

void DesktopProgram::ListenForRaise(const std::filesystem::path& socket) {
    if (!m_app || m_raiseSocket) return;
    if (platform::LocalDatagramSocket::Bind(socket, m_raiseSocket) != platform::Error::None)
        return;  // a second copy then only ends
    m_raise = std::make_unique<QSocketNotifier>(m_raiseSocket->fd(), QSocketNotifier::Read);
    QObject::connect(m_raise.get(), &QSocketNotifier::activated, [this] {
        uint8_t request[16];
        bool raise = false;
        while (m_raiseSocket->Receive(request, sizeof request) >= 0) raise = true;
        // The window's own restore command, as a menu or accelerator sends it.
        if (raise && m_window) m_window->Logic().OnCommand(ID_COMMAND_RESTORE);
    });
}

void DesktopProgram::OnStop() {
    m_stop->setEnabled(false);
    if (m_window) {
        m_window->EndOnStop();
    } else {
        CloseModalChain();
    }
}

void DesktopProgram::RunPhase(SettingsManager& settings) {
    if (!m_app) {
        // Said only once the guard and the settings have passed, so a second
        // copy stays silent and settings errors come first.
        std::fprintf(stderr,
                     "varnock: no display (DISPLAY or WAYLAND_DISPLAY); the main window cannot open. "
                     "Use varnockd to run without a screen.\n");
        return;
    }
    // The channels' messaging windows belong to this thread.
    platform::MessageLoop::Main().BindToCurrentThread();
    // The traffic trace, on request; it ends with the run phase.
    const char* trace = std::getenv("VARNOCK_TRACE");
    if (trace && *trace) StartFrameTrace(trace);
    struct TraceEnd {
        ~TraceEnd() { StopFrameTrace(); }
    } traceEnd;

    VirtualPortManager* manager = VirtualPortManager::Instance();
    manager->SetSettings(&settings);
    // One channel per row held; `items` only bounds the rows read.
    const int channels = settings.GetRowCount();
    for (int i = 1; i <= channels && !platform::StopRequested(); ++i) manager->CreateChannel(i);

    ManagerBroadcasts broadcasts;
    if (platform::StopRequested()) {
        // Stopped before the window could open: nothing is connected yet,
        // and the start-up saves.
        broadcasts.DeleteManager();
        return;
    }
    HelpLauncher help(settings.GetDirectory());
    QtMainWindow window(broadcasts, help);
    window.SetSettings(&settings);
    if (!window.Loaded()) {
        std::fprintf(stderr, "varnock: the resource library has no main window template\n");
        // Nothing else would delete the channels.
        broadcasts.DeleteManager();
        return;
    }
    // Ctrl-C, a stop from the session or a closed terminal ends the program
    // as the close box does: channels disconnected, settings saved.
    m_window = &window;
    window.DoModal();
    m_window = nullptr;
}

}  // namespace varnock

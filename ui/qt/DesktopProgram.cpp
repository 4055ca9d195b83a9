#include "ui/qt/DesktopProgram.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>

#include "bridge/VirtualPortManager.h"
#include "platform/MessageLoop.h"
#include "platform/StopSignals.h"
#include "settings/SettingsManager.h"
#include "ui/HelpLauncher.h"
#include "ui/ManagerBroadcasts.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/QtMessageSink.h"

namespace varnock {

bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

DesktopProgram::DesktopProgram(int& argc, char** argv) {
    if (!DisplayAvailable()) return;
    m_app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varnock"));
    m_sink = std::make_unique<QtMessageSink>();
    platform::SetMessageSink(m_sink.get());
}

DesktopProgram::~DesktopProgram() {
    if (m_sink) platform::SetMessageSink(nullptr);
}

void DesktopProgram::RunPhase(SettingsManager& settings) {
    // The channels' messaging windows belong to this thread.
    platform::MessageLoop::Main().BindToCurrentThread();
    // From here on a stop waits for the main window, which ends as its close
    // box would (see below).
    platform::InstallStopSignals();

    VirtualPortManager* manager = VirtualPortManager::Instance();
    manager->SetSettings(&settings);
    const int channels = settings.GetItemCount();
    for (int i = 1; i <= channels; ++i) manager->CreateChannel(i);

    ManagerBroadcasts broadcasts;
    HelpLauncher help(settings.GetDirectory());
    QtMainWindow window(broadcasts, help);
    window.SetSettings(&settings);
    if (!window.Loaded()) {
        std::fprintf(stderr, "varnock: the resource library has no main window template\n");
        // Nothing else would delete the channels.
        broadcasts.DeleteManager();
        return;
    }
    // Ctrl-C or a stop from the session ends the program as the close box
    // does: channels disconnected, settings saved.
    QSocketNotifier stop(platform::StopSignalFd(), QSocketNotifier::Read);
    stop.setEnabled(platform::StopSignalFd() >= 0);
    QObject::connect(&stop, &QSocketNotifier::activated, &window, [&window, &stop] {
        stop.setEnabled(false);
        window.Dialog()->close();
    });
    window.DoModal();
}

}  // namespace varnock

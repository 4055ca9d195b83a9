#pragma once
// The desktop program around the application shell: the Qt application,
// Qt message boxes, the stop signals, and the run phase that creates the
// channels and runs the main window.
#include <filesystem>
#include <memory>
#include <string>

class QApplication;
class QSocketNotifier;

namespace varnock {
namespace platform {
class LocalDatagramSocket;
}

class QtMainWindow;
class QtMessageSink;
class SettingsManager;

class DesktopProgram {
public:
    // Nothing starts yet: see Start.
    explicit DesktopProgram(const char* programName);
    ~DesktopProgram();
    DesktopProgram(const DesktopProgram&) = delete;
    DesktopProgram& operator=(const DesktopProgram&) = delete;

    // Makes the Qt application when a display can be had, routes every
    // message box to Qt and makes SIGINT, SIGTERM and SIGHUP end the
    // program the orderly way. Qt is given the program name only: the
    // program takes no options, and Qt's own (-style, -platform) must not
    // act either. A display that cannot be opened ends the process with 1
    // and Qt's reason on stderr.
    void Start();

    // Binds `socket`: a datagram there (from a second copy) raises the main
    // window. Nothing without a display.
    void ListenForRaise(const std::filesystem::path& socket);

    // Whether a display (or the offscreen platform) was found.
    bool HasDisplay() const { return m_app != nullptr; }

    // One channel per allocation row, then the main window until it ends.
    // The main window deletes the channels when it is torn down. Without a
    // display it only says so.
    void RunPhase(SettingsManager& settings);

private:
    // A stop request: ends every open box and dialog; the main window then
    // closes as its close box does.
    void OnStop();

    std::string m_programName;
    int m_argc = 1;
    char* m_argv[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> m_app;
    std::unique_ptr<QtMessageSink> m_sink;
    std::unique_ptr<QSocketNotifier> m_stop;
    std::unique_ptr<platform::LocalDatagramSocket> m_raiseSocket;
    std::unique_ptr<QSocketNotifier> m_raise;
    QtMainWindow* m_window = nullptr;  // while the main window runs
};

// Whether the environment names a display Qt can use.
bool DisplayAvailable();

}  // namespace varnock

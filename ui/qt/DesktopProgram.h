#pragma once
// The desktop program around the application shell: the Qt application,
// Qt message boxes, and the run phase that creates the channels and runs
// the main window.
#include <memory>

class QApplication;

namespace varnock {

class QtMessageSink;
class SettingsManager;

class DesktopProgram {
public:
    // Makes the Qt application when a display can be had, and routes every
    // message box of the program to Qt from then on.
    DesktopProgram(int& argc, char** argv);
    ~DesktopProgram();
    DesktopProgram(const DesktopProgram&) = delete;
    DesktopProgram& operator=(const DesktopProgram&) = delete;

    // Whether a display (or the offscreen platform) was found.
    bool HasDisplay() const { return m_app != nullptr; }

    // One channel per allocation row, then the main window until it ends.
    // The main window deletes the channels when it is torn down.
    static void RunPhase(SettingsManager& settings);

private:
    std::unique_ptr<QApplication> m_app;
    std::unique_ptr<QtMessageSink> m_sink;
};

// Whether the environment names a display Qt can use.
bool DisplayAvailable();

}  // namespace varnock

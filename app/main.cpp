#include <cstdio>

#include "app/Application.h"
#ifdef VARNOCK_DESKTOP
#include "ui/qt/DesktopProgram.h"
#endif

int main(int argc, char** argv) {
#ifdef VARNOCK_DESKTOP
    // First, so that every message box of the start-up is a Qt box.
    varnock::DesktopProgram desktop(argc, argv);
#endif
    varnock::Application app;
#ifdef VARNOCK_DESKTOP
    if (desktop.HasDisplay()) {
        app.SetRunPhase(&varnock::DesktopProgram::RunPhase);
    } else {
        // Said only once the guard and the settings have passed, so a second
        // copy stays silent and settings errors come first.
        app.SetRunPhase([](varnock::SettingsManager&) {
            std::fprintf(stderr,
                         "varnock: no display (DISPLAY or WAYLAND_DISPLAY); the main window cannot open. "
                         "Use varnockd to run without a screen.\n");
        });
    }
#endif
    return app.InitInstance(argc, argv);
}

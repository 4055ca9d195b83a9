#include "app/Application.h"
#ifdef VARNOCK_DESKTOP
#include "ui/qt/DesktopProgram.h"
#endif

int main(int argc, char** argv) {
    varnock::Application app;
#ifdef VARNOCK_DESKTOP
    varnock::DesktopProgram desktop(argc > 0 ? argv[0] : nullptr);
    // Qt starts once the guard is held: a second copy ends silently whatever
    // the display, and Qt never sees the arguments.
    app.SetStartUp([&desktop] { desktop.Start(); });
    app.SetRunPhase([&desktop](varnock::SettingsManager& settings) { desktop.RunPhase(settings); });
#endif
    return app.InitInstance(argc, argv);
}

#include "app/Application.h"
#ifdef VARNOCK_DESKTOP
#include "platform/LocalDatagram.h"
#include "platform/Paths.h"
#include "ui/qt/DesktopProgram.h"
#endif

int main(int argc, char** argv) {
    varnock::Application app;
#ifdef VARNOCK_DESKTOP
    varnock::DesktopProgram desktop(argc > 0 ? argv[0] : nullptr);
    // Qt starts once the guard is held: a second copy ends silently whatever
    // the display, and Qt never sees the arguments.
    app.SetStartUp([&desktop] {
        desktop.Start();
        desktop.ListenForRaise(varnock::platform::DeviceDirectory().path /
                               varnock::Application::kRaiseSocketName);
    });
    app.SetRunPhase([&desktop](varnock::SettingsManager& settings) { desktop.RunPhase(settings); });
    // The running copy raises its window; this one ends without one.
    app.SetSecondCopy([](const std::filesystem::path& devices) {
        const char raise[] = "raise";
        varnock::platform::SendLocalDatagram(devices / varnock::Application::kRaiseSocketName,
                                             reinterpret_cast<const uint8_t*>(raise), sizeof raise - 1);
        return 0;
    });
#endif
    return app.InitInstance(argc, argv);
}

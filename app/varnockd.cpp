// varnockd: the bridge without a window, for machines without a screen.
// The settings files beside the program decide everything; every message box
// is a line on stderr and the run goes on as after the user closed it.
#include <cstdio>
#include <cstring>

#include "app/Application.h"
#include "app/HeadlessRunner.h"
#include "platform/StopSignals.h"

#ifndef VARNOCK_VERSION
#define VARNOCK_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: varnockd [--help | --version]\n"
    "\n"
    "Bridges every channel of Varnock_setting.ini without a window: creates the\n"
    "virtual ports, connects all channels and keeps them running until SIGINT,\n"
    "SIGTERM or SIGHUP, then disconnects, saves the settings and exits. Varnock.ini,\n"
    "Varnock_setting.ini and the resource library are read from the program's own\n"
    "directory; virtual ports appear in $VARNOCK_DEVICE_DIR (default\n"
    "$XDG_RUNTIME_DIR/varnock, else /tmp/varnock-<uid>).\n"
    "\n"
    "Channel states are printed on stdout, messages as \"[number] text\" on stderr.\n"
    "Exit status: 0 after a normal run or when another copy already runs,\n"
    "1 when the settings cannot be loaded or the device directory or its lock\n"
    "file is unusable.\n";

}  // namespace

int main(int argc, char** argv) {
    // The one exception to "no options"; anything else is ignored.
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("varnockd %s\n", VARNOCK_VERSION);
        return 0;
    }
    varnock::platform::InstallStopSignals();
    // Channel lines reach a pipe or the journal as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    varnock::HeadlessRunner runner(varnock::platform::StopRequested());
    varnock::Application app;
    app.SetRunPhase([&runner](varnock::SettingsManager& settings) { runner.Run(settings); });
    return app.InitInstance(argc, argv);
}

// varnockd: the bridge without a window, for machines without a screen.
// The settings files beside the program decide everything; every message box
// is a line on stderr and the run goes on as after the user closed it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Application.h"
#include "app/HeadlessRunner.h"
#include "platform/StopSignals.h"

#ifndef VARNOCK_VERSION
#define VARNOCK_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: varnockd [--reconnect SECONDS] [--trace FILE]\n"
    "       varnockd --help | --version\n"
    "\n"
    "Bridges every channel of Varnock_setting.ini without a window: creates the\n"
    "virtual ports, connects all channels and keeps them running until SIGINT,\n"
    "SIGTERM or SIGHUP, then disconnects, saves the settings and exits. Varnock.ini,\n"
    "Varnock_setting.ini and the resource library are read from the program's own\n"
    "directory; virtual ports appear in $VARNOCK_DEVICE_DIR (default\n"
    "$XDG_RUNTIME_DIR/varnock, else /tmp/varnock-<uid>).\n"
    "\n"
    "  --reconnect SECONDS  after a channel's connect failed or its link was lost,\n"
    "                       connect it again after SECONDS (0.5 and the like too),\n"
    "                       and while that keeps failing after twice the last wait,\n"
    "                       up to ten times SECONDS; each try is printed. The other\n"
    "                       channels go on meanwhile. Without it a failed channel\n"
    "                       stays so until varnockd is restarted.\n"
    "  --trace FILE         append one line per frame to and from the PLCs and per\n"
    "                       chunk the programming software wrote to FILE: time,\n"
    "                       port, direction, kind, sequence number, length, bytes\n"
    "  --help, --version    print this or the version and exit\n"
    "\n"
    "Channel states are printed on stdout, messages as \"[number] text\" on stderr.\n"
    "Other arguments are ignored. Exit status: 0 after a normal run, 1 when the\n"
    "settings cannot be loaded or the device directory or its lock file is\n"
    "unusable, 2 for an option without a usable value, 3 when another copy (the\n"
    "desktop program or varnockd) already bridges this user's device directory,\n"
    "4 when the channels could not be saved.\n";

// One bridge per device directory: say which copy has it.
int AnotherCopy(const std::filesystem::path& devices) {
    const auto holder = varnock::platform::SingleInstanceGuard::ReadHolder(devices);
    const std::string who = holder.pid > 0 ? holder.program + " (process " + std::to_string(holder.pid) + ")"
                                           : std::string("another Varnock");
    std::fprintf(stderr,
                 "varnockd: %s already bridges the device directory %s; only one bridge runs per "
                 "user. The user service and the desktop program are alternatives: end the other "
                 "one first (systemctl --user stop varnockd, or close the window).\n",
                 who.c_str(), devices.c_str());
    return varnock::Application::kExitAnotherCopy;
}

int BadOption(const std::string& what) {
    std::fprintf(stderr, "varnockd: %s\nTry 'varnockd --help'.\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    varnock::HeadlessRunner::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("varnockd %s\n", VARNOCK_VERSION);
            return 0;
        }
        // "--name VALUE" or "--name=VALUE"; anything else is ignored.
        const std::string name = arg.substr(0, arg.find('='));
        if (name != "--reconnect" && name != "--trace") continue;
        std::string value;
        if (name.size() < arg.size())
            value = arg.substr(name.size() + 1);
        else if (i + 1 < argc)
            value = argv[++i];
        if (name == "--trace") {
            if (value.empty()) return BadOption("--trace needs a file name");
            options.tracePath = value;
            continue;
        }
        char* end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400)
            return BadOption("--reconnect needs a number of seconds above 0 and up to 86400, not '" + value +
                             "'");
        options.reconnectMs = static_cast<uint32_t>(std::max(1.0, std::round(seconds * 1000)));
    }
    varnock::platform::InstallStopSignals();
    options.stopFd = varnock::platform::StopSignalFd();
    // Channel lines reach a pipe or the journal as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    varnock::HeadlessRunner runner(varnock::platform::StopRequested(), stdout, options);
    varnock::Application app;
    app.SetRunPhase([&runner](varnock::SettingsManager& settings) { runner.Run(settings); });
    app.SetSecondCopy(AnotherCopy);
    return app.InitInstance(argc, argv);
}

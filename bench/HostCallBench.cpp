// Cost of the terminal calls a host program makes, for scripts/bench: run
// bare and through varnock-host, on a plain pty and on a virtual port.
//   varnock_host_bench PORT    prints one JSON object (ns per call)
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

double NsPerCall(int count, const std::function<void()>& call) {
    for (int i = 0; i < count / 10; ++i) call();  // warm up
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) call();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / count;
}

}  // namespace

int main(int argc, char** argv) {
    int master = -1, plain = -1;
    const int port = argc > 1 ? ::open(argv[1], O_RDWR | O_NOCTTY) : -1;
    if (port < 0 || ::openpty(&master, &plain, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "usage: varnock_host_bench PORT\n");
        return 2;
    }
    termios t{};
    ::tcgetattr(port, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    int lines = 0;
    std::printf(
        "{\"tcgetattr_plain_pty_ns\": %.0f, \"tcgetattr_port_ns\": %.0f, \"tiocmget_port_ns\": %.0f, "
        "\"tcsetattr_port_ns\": %.0f}\n",
        NsPerCall(200000, [&] { ::tcgetattr(plain, &t); }), NsPerCall(200000, [&] { ::tcgetattr(port, &t); }),
        NsPerCall(200000, [&] { ::ioctl(port, TIOCMGET, &lines); }),
        NsPerCall(2000, [&] { ::tcsetattr(port, TCSANOW, &t); }));
    return 0;
}

// hammer PORT SECONDS: threads make a serial program's calls at once (Wine polls the modem from a second
// thread) after setting 9600 7E1; prints the calls and wrong answers (not 7E1, failed modem/counter calls).
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int fd = argc > 2 ? ::open(argv[1], O_RDWR | O_NOCTTY) : -1;
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return 2;
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return 2;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(argv[2]));
    std::atomic<long> calls{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            for (; std::chrono::steady_clock::now() < end; ++calls) {
                termios now{};
                serial_icounter_struct counts{};
                int bits = 0;
                const bool ok = i % 3 == 0 ? ::tcgetattr(fd, &now) == 0 &&
                                                 (now.c_cflag & (CSIZE | PARENB)) == (CS7 | PARENB)
                                : i % 3 == 1 ? ::ioctl(fd, TIOCMGET, &bits) == 0 && (bits & TIOCM_CTS)
                                             : ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
                wrong += !ok;
            }
        });
    for (std::thread& thread : threads) thread.join();
    std::printf("%s calls, %ld wrong\n", calls > 10000 ? "many" : "few", wrong.load());
    return wrong != 0;
}

/* Threads that call on a port at once what a serial program calls (Wine's
 * WaitCommEvent polls the modem status from a second thread), after setting
 * 9600 7E1: hammer PORT SECONDS. Prints the calls and the wrong answers
 * (another read-back than 7E1, a failed modem or counter call). */
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kThreads = 6 };
static int fd;
static time_t end;
static long calls[kThreads], wrong[kThreads];

static void* Hammer(void* arg) {
    const long i = (long)arg;
    while (time(NULL) < end) {
        struct termios t;
        struct serial_icounter_struct counts;
        int bits = 0, ok;
        if (i % 3 == 0)
            ok = tcgetattr(fd, &t) == 0 && (t.c_cflag & (CSIZE | PARENB)) == (CS7 | PARENB);
        else if (i % 3 == 1)
            ok = ioctl(fd, TIOCMGET, &bits) == 0 && (bits & TIOCM_CTS);
        else
            ok = ioctl(fd, TIOCGICOUNT, &counts) == 0;
        calls[i]++;
        wrong[i] += !ok;
    }
    return NULL;
}

int main(int argc, char** argv) {
    struct termios t;
    pthread_t threads[kThreads];
    long all = 0, bad = 0;
    fd = argc > 2 ? open(argv[1], O_RDWR | O_NOCTTY) : -1;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 2;
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return 2;
    end = time(NULL) + atoi(argv[2]);
    for (long i = 0; i < kThreads; ++i) pthread_create(&threads[i], NULL, Hammer, (void*)i);
    for (long i = 0; i < kThreads; ++i) {
        pthread_join(threads[i], NULL);
        all += calls[i];
        bad += wrong[i];
    }
    printf("%s calls, %ld wrong\n", all > 10000 ? "many" : "few", bad);
    return bad != 0;
}

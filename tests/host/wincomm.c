/* What PLC programming software does with its COM port, as a Win32 program
 * for the tests under Wine:
 *   wincomm PORT echo TEXT   9600 7E1, write TEXT, read it back
 *   wincomm PORT twice       the same settings twice, then read them back
 *   wincomm PORT modem       DTR/RTS set and clear, modem status
 *   wincomm PORT wait TEXT   write TEXT, wait for EV_RXCHAR, read it back
 * Prints one line per step ("ok ..." or "FAIL step error") and exits 0 only
 * when every step succeeded. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int Fail(const char* step) {
    printf("FAIL %s %lu\n", step, (unsigned long)GetLastError());
    return 1;
}

static int Set7E1(HANDLE port) {
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    if (!SetCommState(port, &dcb)) return Fail("SetCommState");
    printf("ok SetCommState\n");
    return 0;
}

static int Write(HANDLE port, const char* text) {
    DWORD done = 0;
    if (!WriteFile(port, text, (DWORD)strlen(text), &done, NULL) || done != strlen(text)) return Fail("WriteFile");
    return 0;
}

static int ReadBack(HANDLE port, const char* text) {
    char got[256];
    DWORD have = 0, n = 0;
    DWORD want = (DWORD)strlen(text);
    DWORD start = GetTickCount();
    while (have < want && GetTickCount() - start < 10000) {
        if (!ReadFile(port, got + have, want - have, &n, NULL)) return Fail("ReadFile");
        have += n;
    }
    got[have] = 0;
    if (have != want || memcmp(got, text, want) != 0) {
        printf("FAIL echo got '%s'\n", got);
        return 1;
    }
    printf("ok echo %s\n", got);
    return 0;
}

int main(int argc, char** argv) {
    char path[64];
    HANDLE port;
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 1000};
    const char* mode;
    if (argc < 3) return 2;
    mode = argv[2];
    snprintf(path, sizeof(path), "\\\\.\\%s", argv[1]);
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return Fail("CreateFile");
    if (Set7E1(port) || !SetCommTimeouts(port, &timeouts)) return Fail("setup");

    if (strcmp(mode, "echo") == 0 && argc > 3) {
        if (Write(port, argv[3]) || ReadBack(port, argv[3])) return 1;
    } else if (strcmp(mode, "twice") == 0) {
        DCB dcb;
        if (Set7E1(port)) return 1;
        memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(port, &dcb)) return Fail("GetCommState");
        printf("ok state %lu %u %u %u\n", (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
    } else if (strcmp(mode, "modem") == 0) {
        DWORD status = 0;
        DWORD functions[] = {SETDTR, SETRTS, CLRDTR, CLRRTS, SETDTR};
        for (size_t i = 0; i < sizeof(functions) / sizeof(functions[0]); ++i) {
            if (!EscapeCommFunction(port, functions[i])) return Fail("EscapeCommFunction");
        }
        if (!GetCommModemStatus(port, &status)) return Fail("GetCommModemStatus");
        printf("ok modem %s%s%s\n", (status & MS_CTS_ON) ? "CTS " : "", (status & MS_DSR_ON) ? "DSR " : "",
               (status & MS_RLSD_ON) ? "DCD" : "");
    } else if (strcmp(mode, "wait") == 0 && argc > 3) {
        DWORD events = 0;
        DWORD start;
        if (!SetCommMask(port, EV_RXCHAR)) return Fail("SetCommMask");
        if (Write(port, argv[3])) return 1;
        start = GetTickCount();
        if (!WaitCommEvent(port, &events, NULL)) return Fail("WaitCommEvent");
        printf("ok wait %s after %lu ms\n", (events & EV_RXCHAR) ? "EV_RXCHAR" : "none",
               (unsigned long)(GetTickCount() - start));
        if (!(events & EV_RXCHAR) || ReadBack(port, argv[3])) return 1;
    } else {
        return 2;
    }
    CloseHandle(port);
    return 0;
}

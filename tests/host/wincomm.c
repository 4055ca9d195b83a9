/* What PLC programming software does with its COM port, as a Win32 program
 * for the tests under Wine. Every mode first sets 9600 7E1:
 *   wincomm PORT echo TEXT   write TEXT, read it back
 *   wincomm PORT twice       the same settings again, then read them back
 *   wincomm PORT modem       DTR/RTS set and clear, modem status
 *   wincomm PORT wait TEXT   write TEXT, wait for EV_RXCHAR, read it back
 * Prints "ok ..." per step or "FAIL step error", exits 0 only when all
 * succeeded. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int Fail(const char* step) {
    printf("FAIL %s %lu\n", step, (unsigned long)GetLastError());
    return 1;
}

static int Set7E1(HANDLE port, DCB* dcb) {
    memset(dcb, 0, sizeof(*dcb));
    dcb->DCBlength = sizeof(*dcb);
    if (!GetCommState(port, dcb)) return Fail("GetCommState");
    dcb->BaudRate = CBR_9600;
    dcb->ByteSize = 7;
    dcb->Parity = EVENPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = dcb->fParity = TRUE;
    if (!SetCommState(port, dcb)) return Fail("SetCommState");
    return !GetCommState(port, dcb) && Fail("GetCommState");
}

/* Writes `text` unless it went out already, and reads it back. */
static int Echo(HANDLE port, const char* text, int sent) {
    char got[256] = {0};
    DWORD have = 0, n = 0, want = (DWORD)strlen(text), start = GetTickCount();
    if (!sent && (!WriteFile(port, text, want, &n, NULL) || n != want)) return Fail("WriteFile");
    while (have < want && GetTickCount() - start < 10000) {
        if (!ReadFile(port, got + have, want - have, &n, NULL)) return Fail("ReadFile");
        have += n;
    }
    printf("%s echo %s\n", strcmp(got, text) == 0 ? "ok" : "FAIL", got);
    return strcmp(got, text) != 0;
}

int main(int argc, char** argv) {
    char path[64];
    DCB dcb;
    DWORD value = 0, start;
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 1000};
    const char* mode = argc > 2 ? argv[2] : "";
    const char* text = argc > 3 ? argv[3] : "text";
    snprintf(path, sizeof(path), "\\\\.\\%s", argc > 1 ? argv[1] : "COM1");
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return Fail("CreateFile");
    if (Set7E1(port, &dcb) || !SetCommTimeouts(port, &timeouts)) return Fail("setup");

    if (strcmp(mode, "echo") == 0) return Echo(port, text, 0);
    if (strcmp(mode, "twice") == 0) {
        if (Set7E1(port, &dcb)) return 1;
        printf("ok state %lu %u %u %u\n", (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
        return 0;
    }
    if (strcmp(mode, "modem") == 0) {
        DWORD functions[] = {SETDTR, SETRTS, CLRDTR, CLRRTS, SETDTR};
        for (int i = 0; i < 5; ++i) {
            if (!EscapeCommFunction(port, functions[i])) return Fail("EscapeCommFunction");
        }
        if (!GetCommModemStatus(port, &value)) return Fail("GetCommModemStatus");
        printf("ok modem %s%s%s\n", (value & MS_CTS_ON) ? "CTS " : "", (value & MS_DSR_ON) ? "DSR " : "",
               (value & MS_RLSD_ON) ? "DCD" : "");
        return 0;
    }
    if (strcmp(mode, "wait") == 0) {
        DWORD n = 0;
        if (!SetCommMask(port, EV_RXCHAR)) return Fail("SetCommMask");
        if (!WriteFile(port, text, (DWORD)strlen(text), &n, NULL)) return Fail("WriteFile");
        start = GetTickCount();
        if (!WaitCommEvent(port, &value, NULL)) return Fail("WaitCommEvent");
        printf("ok wait %s after %lu ms\n", (value & EV_RXCHAR) ? "EV_RXCHAR" : "none",
               (unsigned long)(GetTickCount() - start));
        return !(value & EV_RXCHAR) || Echo(port, text, 1);
    }
    return 2;
}

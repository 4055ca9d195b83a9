/* wincomm PORT TEXT [all]: what PLC software does with its COM port, for the tests under Wine. Sets 9600 7E1,
 * writes TEXT and reads it back; with "all" it first sets the settings again and reads them back, sets and
 * clears DTR and RTS, reads the modem status and waits for EV_RXCHAR before reading. Prints "ok ..." per step
 * or "FAIL step error"; exits 0 only when all succeeded. */
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

int main(int argc, char** argv) {
    char path[64], got[256] = {0};
    DCB dcb;
    DWORD value = 0, n = 0, have = 0, start, functions[] = {SETDTR, SETRTS, CLRDTR, CLRRTS, SETDTR};
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 1000};
    const char* text = argc > 2 ? argv[2] : "text";
    const int all = argc > 3 && strcmp(argv[3], "all") == 0;
    snprintf(path, sizeof(path), "\\\\.\\%s", argc > 1 ? argv[1] : "COM1");
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return Fail("CreateFile");
    if (Set7E1(port, &dcb) || !SetCommTimeouts(port, &timeouts)) return Fail("setup");
    if (all) {
        if (Set7E1(port, &dcb)) return 1;
        printf("ok state %lu %u %u %u\n", (unsigned long)dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
        for (int i = 0; i < 5; ++i)
            if (!EscapeCommFunction(port, functions[i])) return Fail("EscapeCommFunction");
        if (!GetCommModemStatus(port, &value)) return Fail("GetCommModemStatus");
        printf("ok modem %s%s%s\n", (value & MS_CTS_ON) ? "CTS " : "", (value & MS_DSR_ON) ? "DSR " : "",
               (value & MS_RLSD_ON) ? "DCD" : "");
        if (!SetCommMask(port, EV_RXCHAR)) return Fail("SetCommMask");
    }
    if (!WriteFile(port, text, (DWORD)strlen(text), &n, NULL) || n != strlen(text)) return Fail("WriteFile");
    start = GetTickCount();
    if (all) {
        if (!WaitCommEvent(port, &value, NULL)) return Fail("WaitCommEvent");
        printf("ok wait %s after %lu ms\n", (value & EV_RXCHAR) ? "EV_RXCHAR" : "none",
               (unsigned long)(GetTickCount() - start));
    }
    while (have < strlen(text) && GetTickCount() - start < 10000) {
        if (!ReadFile(port, got + have, (DWORD)strlen(text) - have, &n, NULL)) return Fail("ReadFile");
        have += n;
    }
    printf("%s echo %s\n", strcmp(got, text) == 0 ? "ok" : "FAIL", got);
    return strcmp(got, text) != 0;
}

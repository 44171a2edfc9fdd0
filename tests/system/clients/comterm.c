/*
 * comterm: a small serial chat program for Windows.
 *
 *     comterm PORT SETTINGS SEND EXPECT [TIMEOUT_MS]
 *
 * Opens PORT ("COM3"), starts from the port's default configuration and
 * applies SETTINGS in the MODE command's syntax ("baud=115200 parity=n
 * data=8 stop=1"), sends SEND and waits until EXPECT has arrived (or
 * TIMEOUT_MS, default 5000, has passed). A reader thread waits for comm
 * events and collects what arrives into a buffer guarded by a mutex.
 *
 * Exit codes: 0 EXPECT arrived, 1 something else arrived or nothing,
 * 2 bad command line, 3 the port could not be opened or configured.
 *
 * Written for the wide (UNICODE) API; it builds for the ANSI one too.
 */
#include <windows.h>
#include <winnls.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define RX_CAPACITY 4096

typedef struct {
    HANDLE port;
    HANDLE stop;            /* set by the main thread to end the reader */
    HANDLE arrived;         /* set by the reader whenever bytes arrive */
    HANDLE lock;            /* guards rx and rxLength */
    char rx[RX_CAPACITY];
    DWORD rxLength;
    DWORD errors;           /* ClearCommError's flags seen by the reader */
} Session;

static void report(const char *what)
{
    fprintf(stderr, "comterm: %s failed (error %lu)\n", what, (unsigned long)GetLastError());
}

/* argv is ANSI; the wide API wants the text converted. */
static BOOL toText(const char *ansi, TCHAR *out, int capacity)
{
#ifdef UNICODE
    return MultiByteToWideChar(CP_ACP, 0, ansi, -1, out, capacity) > 0;
#else
    if ((int)strlen(ansi) >= capacity)
        return FALSE;
    strcpy(out, ansi);
    return TRUE;
#endif
}

static DWORD WINAPI readerThread(LPVOID parameter)
{
    Session *s = (Session *)parameter;
    OVERLAPPED ov;
    DWORD mask = 0;

    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    if (!ov.hEvent)
        return 1;
    if (!SetCommMask(s->port, EV_RXCHAR | EV_ERR | EV_BREAK)) {
        CloseHandle(ov.hEvent);
        return 1;
    }
    for (;;) {
        HANDLE waits[2];
        DWORD got = 0, which;
        BOOL done;

        ResetEvent(ov.hEvent);
        done = WaitCommEvent(s->port, &mask, &ov);
        if (!done && GetLastError() != ERROR_IO_PENDING)
            break;
        if (!done) {
            waits[0] = s->stop;
            waits[1] = ov.hEvent;
            which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (which == WAIT_OBJECT_0) {
                /* Stopping: a mask of 0 ends the pending wait. */
                SetCommMask(s->port, 0);
                GetOverlappedResult(s->port, &ov, &got, TRUE);
                break;
            }
            if (!GetOverlappedResult(s->port, &ov, &got, FALSE))
                break;
        }
        if (mask & (EV_ERR | EV_BREAK)) {
            DWORD errors = 0;
            COMSTAT stat;
            ClearCommError(s->port, &errors, &stat);
            WaitForSingleObject(s->lock, INFINITE);
            s->errors |= errors;
            ReleaseMutex(s->lock);
        }
        if (mask & EV_RXCHAR) {
            /* Take whatever the driver holds now. */
            for (;;) {
                COMSTAT stat;
                DWORD errors = 0, n = 0, want;
                char chunk[512];
                OVERLAPPED rov;

                ZeroMemory(&stat, sizeof stat);
                if (!ClearCommError(s->port, &errors, &stat) || stat.cbInQue == 0)
                    break;
                want = stat.cbInQue < sizeof chunk ? stat.cbInQue : (DWORD)sizeof chunk;
                ZeroMemory(&rov, sizeof rov);
                rov.hEvent = ov.hEvent;
                ResetEvent(rov.hEvent);
                if (!ReadFile(s->port, chunk, want, &n, &rov)) {
                    if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(s->port, &rov, &n, TRUE))
                        break;
                }
                WaitForSingleObject(s->lock, INFINITE);
                if (s->rxLength + n <= RX_CAPACITY) {
                    CopyMemory(s->rx + s->rxLength, chunk, n);
                    s->rxLength += n;
                }
                s->errors |= errors;
                ReleaseMutex(s->lock);
                SetEvent(s->arrived);
            }
        }
    }
    CloseHandle(ov.hEvent);
    return 0;
}

/* The port's defaults from the system, then the user's settings. */
static BOOL configure(HANDLE port, const TCHAR *name, const TCHAR *settings)
{
    COMMCONFIG config;
    DWORD size = sizeof config;
    COMMTIMEOUTS timeouts;
    DCB dcb;

    ZeroMemory(&config, sizeof config);
    if (!GetDefaultCommConfig(name, &config, &size)) {
        report("GetDefaultCommConfig");
        return FALSE;
    }
    dcb = config.dcb;
    ZeroMemory(&timeouts, sizeof timeouts);
    if (!BuildCommDCBAndTimeouts(settings, &dcb, &timeouts)) {
        report("BuildCommDCBAndTimeouts");
        return FALSE;
    }
    dcb.fBinary = TRUE;
    if (!SetCommState(port, &dcb)) {
        report("SetCommState");
        return FALSE;
    }
    /* Reads return at once with what is there. */
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) {
        report("SetCommTimeouts");
        return FALSE;
    }
    return PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

static BOOL sendAll(HANDLE port, const char *text, DWORD length)
{
    OVERLAPPED ov;
    DWORD written = 0;
    BOOL ok;

    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEvent(NULL, TRUE, FALSE, NULL);
    ok = WriteFile(port, text, length, &written, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, &ov, &written, TRUE);
    CloseHandle(ov.hEvent);
    return ok && written == length;
}

int main(int argc, char **argv)
{
    TCHAR name[64], path[80], settings[256];
    Session session;
    HANDLE reader;
    DWORD readerId = 0, timeout = 5000, start, expectLength, exitCode = 0;
    int result = 1;

    if (argc < 5 || argc > 6) {
        fprintf(stderr, "usage: comterm PORT SETTINGS SEND EXPECT [TIMEOUT_MS]\n");
        return 2;
    }
    if (argc == 6)
        timeout = (DWORD)strtoul(argv[5], NULL, 10);
    if (!toText(argv[1], name, 64) || !toText(argv[2], settings, 256)) {
        fprintf(stderr, "comterm: argument too long\n");
        return 2;
    }
    {
        /* \\.\COMn reaches ports beyond COM9 too. */
        const TCHAR *prefix = TEXT("\\\\.\\");
        int i = 0, j = 0;
        while (prefix[i]) {
            path[i] = prefix[i];
            i++;
        }
        while (name[j] && i < 79)
            path[i++] = name[j++];
        path[i] = 0;
    }

    ZeroMemory(&session, sizeof session);
    session.port = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (session.port == INVALID_HANDLE_VALUE) {
        report("CreateFile");
        return 3;
    }
    if (!configure(session.port, name, settings)) {
        CloseHandle(session.port);
        return 3;
    }
    session.stop = CreateEvent(NULL, TRUE, FALSE, NULL);
    session.arrived = CreateEvent(NULL, FALSE, FALSE, NULL);
    session.lock = CreateMutex(NULL, FALSE, NULL);
    reader = CreateThread(NULL, 0, readerThread, &session, 0, &readerId);
    if (!reader) {
        report("CreateThread");
        return 3;
    }

    if (!sendAll(session.port, argv[3], (DWORD)strlen(argv[3])))
        report("WriteFile");

    expectLength = (DWORD)strlen(argv[4]);
    start = GetTickCount();
    for (;;) {
        DWORD have, elapsed = GetTickCount() - start;
        WaitForSingleObject(session.lock, INFINITE);
        have = session.rxLength;
        ReleaseMutex(session.lock);
        if (have >= expectLength || elapsed >= timeout)
            break;
        WaitForSingleObjectEx(session.arrived, timeout - elapsed, FALSE);
    }

    SetEvent(session.stop);
    WaitForSingleObject(reader, INFINITE);
    GetExitCodeThread(reader, &exitCode);
    CloseHandle(reader);

    WaitForSingleObject(session.lock, INFINITE);
    if (session.rxLength == expectLength && memcmp(session.rx, argv[4], expectLength) == 0 && session.errors == 0 &&
        exitCode == 0) {
        printf("comterm: received \"%s\"\n", argv[4]);
        result = 0;
    } else {
        printf("comterm: received %lu byte(s), receive errors 0x%lx, reader exit %lu\n",
               (unsigned long)session.rxLength, (unsigned long)session.errors, (unsigned long)exitCode);
    }
    ReleaseMutex(session.lock);

    CloseHandle(session.lock);
    CloseHandle(session.arrived);
    CloseHandle(session.stop);
    CloseHandle(session.port);
    return result;
}

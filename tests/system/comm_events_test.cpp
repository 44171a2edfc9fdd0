// Programs that drive a port by events, using only the Win32 comm API: a
// pending WaitCommEvent with SetCommMask, GetCommModemStatus, CTS and DSR
// output handshake, requests ended by CloseHandle, CancelIo and the port
// going away, and the event loop the common serial libraries run. The far
// end (a scripted peer or a null-modem cable to another port) drives CTS,
// DSR, DCD and RI.

#include <windows.h>

#include "comm_app.h"
#include "comm_fixture.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace ztest {
namespace {

using CommEventsTest = PluggedCommTest;

// Machine time a far-end line change may take to be reported: it reaches the
// driver as an interrupt-in report followed by a register read, and the
// port's modem-status worker takes its first reading a second after the
// port has started.
constexpr DWORD kReportTime = 2000;

constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

// Starts an overlapped WaitCommEvent; true when the driver left it pending.
bool waitPending(HANDLE h, DWORD* mask, Overlapped& ov)
{
    ResetEvent(ov.event());
    if (WaitCommEvent(h, mask, ov))
        return false;
    return GetLastError() == ERROR_IO_PENDING;
}

// The events a pending wait reported, if it completed successfully within
// `ms` of machine time.
std::optional<DWORD> reported(HANDLE h, const DWORD* mask, Overlapped& ov, DWORD ms = kReportTime)
{
    if (!ov.done(ms))
        return std::nullopt;
    DWORD n = 0;
    if (!GetOverlappedResult(h, ov, &n, FALSE))
        return std::nullopt;
    EXPECT_EQ(n, sizeof(DWORD));
    return *mask;
}

bool setCtsHandshake(HANDLE h, bool on)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.fOutxCtsFlow = on;
    return SetCommState(h, &dcb) != FALSE;
}

// An overlapped read of up to `size` bytes, waited for.
std::string readOverlapped(HANDLE h, DWORD size)
{
    std::string buffer(size, '\0');
    DWORD n = 0;
    Overlapped ov;
    if (!ReadFile(h, buffer.data(), size, &n, ov)) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_TRUE(GetOverlappedResult(h, ov, &n, TRUE)) << GetLastError();
    }
    buffer.resize(n);
    return buffer;
}

size_t firstDifference(const std::string& a, const std::string& b)
{
    return size_t(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

COMSTAT commStatus(HANDLE h, DWORD* errors = nullptr)
{
    COMSTAT stat = {};
    DWORD e = 0;
    EXPECT_TRUE(ClearCommError(h, &e, &stat));
    if (errors)
        *errors = e;
    return stat;
}

TEST_F(CommEventsTest, ReceivedCharactersEndAPendingWaitAndWaitForTheNextOne)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(h, 9600);
                  COMMTIMEOUTS t = {};
                  t.ReadIntervalTimeout = MAXDWORD;   // reads take what is there
                  SetCommTimeouts(h, &t);
                  EXPECT_TRUE(SetCommMask(h, EV_RXCHAR));
                  DWORD mask = 0xDEAD;
                  Overlapped wait;
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  Sleep(300);
                  EXPECT_FALSE(wait.done());   // nothing has arrived
                  uint64_t firstIn = far.send("x");
                  far.send("yz");
                  EXPECT_EQ(reported(h, &mask, wait, 1000), DWORD(EV_RXCHAR));
                  EXPECT_GE(machine->now(), firstIn);

                  // What arrived can be read, as the event promised.
                  Sleep(20);
                  EXPECT_EQ(commStatus(h).cbInQue, 3u);
                  EXPECT_EQ(readOverlapped(h, 16), "xyz");

                  // Characters that arrive while no wait is pending are kept
                  // for the next wait, which returns at once.
                  far.send("w");
                  Sleep(50);
                  mask = 0xDEAD;
                  ResetEvent(wait.event());
                  EXPECT_TRUE(WaitCommEvent(h, &mask, wait));
                  EXPECT_EQ(mask, DWORD(EV_RXCHAR));

                  // ...and are reported once: the wait after that waits again.
                  EXPECT_EQ(readOverlapped(h, 16), "w");
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  Sleep(300);
                  EXPECT_FALSE(wait.done());
                  far.send("v");
                  EXPECT_EQ(reported(h, &mask, wait, 1000), DWORD(EV_RXCHAR));
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommEventsTest, TransmitEmptyIsReportedWhenAWriteHasGone)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    const std::string text = pattern(1000, 3);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(h, 9600);
                  EXPECT_TRUE(SetCommMask(h, EV_TXEMPTY));
                  DWORD mask = 0xDEAD;
                  Overlapped wait, write;
                  EXPECT_TRUE(waitPending(h, &mask, wait));   // nothing written yet
                  Sleep(100);
                  EXPECT_FALSE(wait.done());

                  // A write that takes about a second at 9600 bit/s: the
                  // event comes when it is done, not while it runs.
                  DWORD n = 0;
                  EXPECT_FALSE(WriteFile(h, text.data(), DWORD(text.size()), &n, write));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  Sleep(300);
                  EXPECT_FALSE(wait.done());
                  EXPECT_FALSE(write.done());
                  EXPECT_EQ(reported(h, &mask, wait, 3000), DWORD(EV_TXEMPTY));
                  double at = nowMs();
                  EXPECT_TRUE(GetOverlappedResult(h, write, &n, TRUE));
                  EXPECT_EQ(n, text.size());
                  EXPECT_EQ(nowMs(), at);   // the write had completed already

                  // A wait for it after the writes have completed returns at once.
                  EXPECT_TRUE(WriteFile(h, "tail", 4, &n, write) || GetOverlappedResult(h, write, &n, TRUE));
                  EXPECT_EQ(n, 4u);
                  mask = 0xDEAD;
                  ResetEvent(wait.event());
                  EXPECT_TRUE(WaitCommEvent(h, &mask, wait));
                  EXPECT_EQ(mask, DWORD(EV_TXEMPTY));
                  Sleep(300);
                  CloseHandle(h);
                  return 0;
              }),
              0u);
    const std::string sent = text + "tail";
    EXPECT_EQ(far.receivedBytes(), std::vector<uint8_t>(sent.begin(), sent.end()));
}

TEST_F(CommEventsTest, FarEndLineChangesAreReportedAsModemEvents)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  EXPECT_TRUE(SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
                  DWORD mask = 0xDEAD;
                  Overlapped wait;
                  auto change = [&](zmodel::ModemInputs lines) {
                      mask = 0xDEAD;
                      EXPECT_TRUE(waitPending(h, &mask, wait));
                      far.setModemLines(lines);
                      return reported(h, &mask, wait);
                  };
                  EXPECT_EQ(change({.cts = true}), DWORD(EV_CTS));
                  EXPECT_EQ(change({.cts = true, .dsr = true}), DWORD(EV_DSR));
                  EXPECT_EQ(change({.cts = true, .dsr = true, .dcd = true}), DWORD(EV_RLSD));

                  // A ring is reported when it ends, not when it starts.
                  EXPECT_EQ(change({.cts = true, .dsr = true, .ri = true, .dcd = true}), std::nullopt);
                  far.setModemLines({.cts = true, .dsr = true, .dcd = true});
                  EXPECT_EQ(reported(h, &mask, wait), DWORD(EV_RING));

                  // Lines that fall together are reported together.
                  EXPECT_EQ(change({}), DWORD(EV_CTS | EV_DSR | EV_RLSD));

                  // Only the events asked for: a CTS change neither ends a
                  // wait for DCD nor is kept for a later wait for CTS.
                  EXPECT_TRUE(SetCommMask(h, EV_RLSD));
                  EXPECT_EQ(change({.cts = true}), std::nullopt);
                  far.setModemLines({.cts = true, .dcd = true});
                  EXPECT_EQ(reported(h, &mask, wait), DWORD(EV_RLSD));
                  EXPECT_TRUE(SetCommMask(h, EV_CTS));
                  EXPECT_EQ(change({.cts = true, .dcd = true}), std::nullopt);   // no change at all
                  EXPECT_FALSE(wait.done());
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommEventsTest, GetCommModemStatusFollowsTheLinesOfTheOtherEnd)
{
    struct Case {
        zmodel::ModemInputs lines;
        DWORD expected;
    };
    const Case cases[] = {
        {{}, 0},
        {{.cts = true}, MS_CTS_ON},
        {{.dsr = true}, MS_DSR_ON},
        {{.ri = true}, MS_RING_ON},
        {{.dcd = true}, MS_RLSD_ON},
        {{.cts = true, .dsr = true, .ri = true, .dcd = true}, MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON},
        {{.cts = true, .dcd = true}, MS_CTS_ON | MS_RLSD_ON},
        {{}, 0},
    };
    {
        zmodel::FarEnd far(controller().uart(0));
        std::string path = comPath(0);
        EXPECT_EQ(runApp([&] {
                      HANDLE h = openPort(path);
                      if (h == INVALID_HANDLE_VALUE)
                          return 1;
                      for (const Case& c : cases) {
                          far.setModemLines(c.lines);
                          DWORD status = 0xDEAD;
                          EXPECT_TRUE(GetCommModemStatus(h, &status));
                          EXPECT_EQ(status & 0xF0, c.expected) << c.lines.cts << c.lines.dsr << c.lines.ri
                                                               << c.lines.dcd;
                          // The same with the port's modem worker having caught up.
                          Sleep(1200);
                          EXPECT_TRUE(GetCommModemStatus(h, &status));
                          EXPECT_EQ(status & 0xF0, c.expected);
                      }
                      CloseHandle(h);
                      return 0;
                  }),
                  0u);
    }

    // Through a null-modem cable the other port's RTS is this one's CTS and
    // its DTR this one's DSR and DCD; opening a port raises both.
    zmodel::NullModem cable(controller().uart(1), controller().uart(2));
    std::string a = comPath(1), b = comPath(2);
    EXPECT_EQ(runApp([&] {
                  HANDLE ha = openPort(a), hb = openPort(b);
                  if (ha == INVALID_HANDLE_VALUE || hb == INVALID_HANDLE_VALUE)
                      return 1;
                  DWORD status = 0xDEAD;
                  EXPECT_TRUE(GetCommModemStatus(hb, &status));
                  EXPECT_EQ(status & 0xF0, DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
                  EXPECT_TRUE(EscapeCommFunction(ha, CLRRTS));
                  EXPECT_TRUE(GetCommModemStatus(hb, &status));
                  EXPECT_EQ(status & 0xF0, DWORD(MS_DSR_ON | MS_RLSD_ON));
                  EXPECT_TRUE(EscapeCommFunction(ha, CLRDTR));
                  EXPECT_TRUE(GetCommModemStatus(hb, &status));
                  EXPECT_EQ(status & 0xF0, 0u);
                  EXPECT_TRUE(EscapeCommFunction(ha, SETRTS));
                  EXPECT_TRUE(GetCommModemStatus(hb, &status));
                  EXPECT_EQ(status & 0xF0, DWORD(MS_CTS_ON));
                  CloseHandle(ha);
                  EXPECT_TRUE(GetCommModemStatus(hb, &status));
                  EXPECT_EQ(status & 0xF0, 0u);   // closing lowers both
                  CloseHandle(hb);
                  return 0;
              }),
              0u);
}

TEST_F(CommEventsTest, ANewMaskEndsAPendingWaitWithNoEventsAndASecondWaitIsRefused)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  DWORD mask = 0xDEAD, other = 0xBEEF;
                  Overlapped wait, second;

                  // No mask: nothing to wait for.
                  EXPECT_FALSE(WaitCommEvent(h, &mask, wait));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

                  // A new mask ends the pending wait at once, reporting 0.
                  EXPECT_TRUE(SetCommMask(h, EV_CTS));
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  EXPECT_TRUE(SetCommMask(h, EV_CTS | EV_DSR));
                  EXPECT_EQ(reported(h, &mask, wait, 0), 0u);
                  DWORD now = 0;
                  EXPECT_TRUE(GetCommMask(h, &now));
                  EXPECT_EQ(now, DWORD(EV_CTS | EV_DSR));

                  // A second wait while one is pending is refused and leaves
                  // the first to complete with its event.
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  EXPECT_FALSE(WaitCommEvent(h, &other, second));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
                  EXPECT_FALSE(second.done());
                  EXPECT_EQ(other, 0xBEEFu);
                  Sleep(100);
                  EXPECT_FALSE(wait.done());
                  far.setModemLines({.dsr = true});
                  EXPECT_EQ(reported(h, &mask, wait), DWORD(EV_DSR));
                  EXPECT_EQ(other, 0xBEEFu);

                  // A wait ended by CancelIo frees the place for the next.
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  EXPECT_TRUE(CancelIo(h));
                  DWORD n = 0;
                  EXPECT_FALSE(GetOverlappedResult(h, wait, &n, FALSE));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
                  EXPECT_TRUE(waitPending(h, &mask, wait));
                  far.setModemLines({.cts = true, .dsr = true});
                  EXPECT_EQ(reported(h, &mask, wait), DWORD(EV_CTS));
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommEventsTest, ACtsHandshakeHoldsAWriteWhileCtsIsLowAndLosesNothing)
{
    zmodel::FarEnd far(controller().uart(0));   // CTS low
    std::string path = comPath(0);
    const std::string text = pattern(4000, 5);   // about 4.2 s at 9600 bit/s
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(h, 9600);
                  EXPECT_TRUE(setCtsHandshake(h, true));
                  DCB dcb = {};
                  dcb.DCBlength = sizeof dcb;
                  GetCommState(h, &dcb);
                  EXPECT_TRUE(dcb.fOutxCtsFlow);

                  DWORD n = 0;
                  Overlapped write;
                  EXPECT_FALSE(WriteFile(h, text.data(), DWORD(text.size()), &n, write));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  Sleep(500);
                  EXPECT_TRUE(far.receivedBytes().empty());
                  EXPECT_TRUE(commStatus(h).fCtsHold);

                  // CTS rises: sending starts; it falls part way: sending
                  // stops (after what the chip already holds) and the write
                  // stays pending; it rises again: the rest follows.
                  far.setModemLines({.cts = true});
                  Sleep(1500);
                  EXPECT_GT(far.receivedBytes().size(), 0u);
                  EXPECT_FALSE(commStatus(h).fCtsHold);
                  far.setModemLines({});
                  Sleep(1500);
                  size_t held = far.receivedBytes().size();
                  EXPECT_TRUE(commStatus(h).fCtsHold);
                  Sleep(1000);
                  EXPECT_EQ(far.receivedBytes().size(), held);
                  EXPECT_LT(held, text.size());
                  EXPECT_FALSE(write.done());
                  far.setModemLines({.cts = true});
                  EXPECT_TRUE(write.done(8000));
                  EXPECT_TRUE(GetOverlappedResult(h, write, &n, FALSE));
                  EXPECT_EQ(n, text.size());
                  Sleep(300);   // what the chip holds leaves
                  CloseHandle(h);
                  return 0;
              }),
              0u);
    auto bytes = far.receivedBytes();
    std::string got(bytes.begin(), bytes.end());
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text) << "first difference at " << firstDifference(got, text);
}

// A new DCB decides at once on the lines as they stand: no line change (and
// so no modem-status report) is needed for a hold to start or end.
TEST_F(CommEventsTest, HandshakeSettingsTakeEffectOnTheLinesAsTheyStand)
{
    zmodel::FarEnd far(controller().uart(0));
    far.setRate(115200);
    far.setModemLines({.cts = true});   // DSR low from the start
    std::string path = comPath(0);
    const std::string first = pattern(200, 6), second = pattern(200, 7);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(h, 115200);
                  Sleep(1500);   // long after the port's first modem reading

                  // DSR handshake with DSR low: held; turning the handshake
                  // off lets the write go.
                  DCB dcb = {};
                  dcb.DCBlength = sizeof dcb;
                  GetCommState(h, &dcb);
                  dcb.fOutxDsrFlow = TRUE;
                  EXPECT_TRUE(SetCommState(h, &dcb));
                  DWORD n = 0;
                  Overlapped write;
                  EXPECT_FALSE(WriteFile(h, first.data(), DWORD(first.size()), &n, write));
                  Sleep(300);
                  EXPECT_FALSE(write.done());
                  EXPECT_TRUE(commStatus(h).fDsrHold);
                  EXPECT_TRUE(far.receivedBytes().empty());
                  dcb.fOutxDsrFlow = FALSE;
                  EXPECT_TRUE(SetCommState(h, &dcb));
                  EXPECT_TRUE(write.done(500));
                  EXPECT_TRUE(GetOverlappedResult(h, write, &n, FALSE));
                  EXPECT_EQ(n, first.size());
                  EXPECT_FALSE(commStatus(h).fDsrHold);

                  // Now the far end drops CTS while no handshake is on, and
                  // the program turns CTS handshake on afterwards: held at
                  // once, released when CTS rises.
                  Sleep(100);
                  far.setModemLines({});
                  Sleep(kReportTime);
                  EXPECT_TRUE(setCtsHandshake(h, true));
                  EXPECT_FALSE(WriteFile(h, second.data(), DWORD(second.size()), &n, write));
                  Sleep(300);
                  EXPECT_FALSE(write.done());
                  EXPECT_TRUE(commStatus(h).fCtsHold);
                  far.setModemLines({.cts = true});
                  EXPECT_TRUE(write.done(kReportTime));
                  Sleep(100);
                  CloseHandle(h);
                  return 0;
              }),
              0u);
    const std::string sent = first + second;
    EXPECT_EQ(far.receivedBytes(), std::vector<uint8_t>(sent.begin(), sent.end()));
}

TEST_F(CommEventsTest, ClosingTheHandleEndsItsPendingRequestsAndThePortOpensAgain)
{
    zmodel::FarEnd far(controller().uart(0));   // CTS low
    std::string path = comPath(0);
    std::atomic<HANDLE> shared{nullptr};
    std::atomic<double> closedAt{-1};

    // One thread blocks in a synchronous ReadFile; another closes the handle.
    // The 10 s time-outs only keep a driver that ignores the close from
    // hanging the test.
    auto blocked = [&](bool writing) {
        return startApp([&, writing] {
            HANDLE h = openPort(path);
            if (h == INVALID_HANDLE_VALUE)
                return 1;
            COMMTIMEOUTS t = {};
            t.ReadTotalTimeoutConstant = 10000;
            t.WriteTotalTimeoutConstant = 10000;
            SetCommTimeouts(h, &t);
            if (writing)
                setCtsHandshake(h, true);   // with CTS low the write is held
            shared = h;
            char buffer[16] = "held write";
            DWORD n = 99;
            BOOL ok = writing ? WriteFile(h, buffer, sizeof buffer, &n, nullptr)
                              : ReadFile(h, buffer, sizeof buffer, &n, nullptr);
            DWORD error = GetLastError();
            EXPECT_FALSE(ok) << (writing ? "write" : "read");
            EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED)) << (writing ? "write" : "read");
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(nowMs(), closedAt.load()) << (writing ? "write" : "read");
            return 0;
        });
    };
    auto closer = [&] {
        return runApp([&] {
            while (!shared)
                Sleep(1);
            Sleep(100);   // the other thread is in its request by now
            closedAt = nowMs();
            EXPECT_TRUE(CloseHandle(shared.exchange(nullptr)));
            return 0;
        });
    };
    for (bool writing : {false, true}) {
        auto program = blocked(writing);
        EXPECT_EQ(closer(), 0u);
        EXPECT_EQ(waitApp(*program), 0u);
    }

    // An overlapped handle closed with a read, a held write and a wait
    // pending: all three end cancelled, and the port opens again and reads.
    static char buffer[16];
    static DWORD mask;
    static OVERLAPPED read, write, wait;
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  read = write = wait = OVERLAPPED{};
                  for (OVERLAPPED* ov : {&read, &write, &wait})
                      ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                  EXPECT_TRUE(setCtsHandshake(h, true));   // with CTS low the write is held
                  DWORD n = 0;
                  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &read));
                  EXPECT_FALSE(WriteFile(h, "held", 4, &n, &write));
                  SetCommMask(h, EV_RXCHAR);
                  EXPECT_FALSE(WaitCommEvent(h, &mask, &wait));
                  Sleep(100);
                  EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), DWORD(WAIT_TIMEOUT));
                  EXPECT_EQ(WaitForSingleObject(write.hEvent, 0), DWORD(WAIT_TIMEOUT));
                  CloseHandle(h);
                  for (OVERLAPPED* ov : {&read, &write, &wait}) {
                      EXPECT_EQ(WaitForSingleObject(ov->hEvent, 0), WAIT_OBJECT_0);
                      EXPECT_EQ(ov->Internal, kStatusCancelled);
                      CloseHandle(ov->hEvent);
                  }
                  return 0;
              }),
              0u);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path);
                  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  COMMTIMEOUTS t = {};
                  t.ReadTotalTimeoutConstant = 500;
                  SetCommTimeouts(h, &t);
                  configure(h, 9600);
                  far.send("again");
                  EXPECT_EQ(readAll(h, 5), "again");
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

// The port leaves the machine (its UART is unplugged) while a program waits
// on it: the program's read and wait end with an error instead of hanging,
// it can close the handle, and the port opens again once it is back.
TEST_F(CommEventsTest, APortThatGoesAwayEndsThePendingReadAndWait)
{
    std::string path = comPath(0);
    std::atomic<bool> waiting{false};
    auto program = startApp([&] {
        HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
        if (h == INVALID_HANDLE_VALUE)
            return 1;
        SetCommMask(h, EV_RXCHAR | EV_CTS);
        char buffer[8];
        DWORD mask = 0, n = 0;
        Overlapped read, wait;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, read));
        EXPECT_TRUE(waitPending(h, &mask, wait));
        waiting = true;
        EXPECT_TRUE(read.done(5000));
        EXPECT_TRUE(wait.done(5000));
        EXPECT_FALSE(GetOverlappedResult(h, read, &n, FALSE));
        EXPECT_FALSE(GetOverlappedResult(h, wait, &n, FALSE));
        EXPECT_TRUE(CloseHandle(h));
        return 0;
    });
    while (!waiting)
        machine->sleep(1);
    machine->sleep(100);
    unplugPort(0);
    EXPECT_EQ(waitApp(*program), 0u);
    plugPortIn(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path);
                  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommEventsTest, CancelIoEndsTheReadInProgressAndKeepsWhatItHad)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(h, 9600);
                  // Wait for 10 characters; the 5 s only keep a driver that
                  // cannot cancel the read from hanging the test.
                  COMMTIMEOUTS t = {};
                  t.ReadTotalTimeoutConstant = 5000;
                  SetCommTimeouts(h, &t);
                  char buffer[10] = {};
                  DWORD n = 0;
                  Overlapped read;
                  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, read));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  far.send("ab");
                  Sleep(100);
                  EXPECT_FALSE(read.done());
                  double start = nowMs();
                  EXPECT_TRUE(CancelIo(h));
                  EXPECT_EQ(nowMs(), start);
                  EXPECT_TRUE(read.done());
                  EXPECT_FALSE(GetOverlappedResult(h, read, &n, FALSE));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));

                  // The two characters are either in the cancelled read's
                  // buffer or still queued; never lost.
                  std::string got(buffer, std::min<DWORD>(n, sizeof buffer));
                  t = {};
                  t.ReadIntervalTimeout = MAXDWORD;
                  SetCommTimeouts(h, &t);
                  got += readOverlapped(h, 10);
                  EXPECT_EQ(got, "ab");

                  // The port reads on.
                  t.ReadIntervalTimeout = 0;
                  t.ReadTotalTimeoutConstant = 1000;
                  SetCommTimeouts(h, &t);
                  Overlapped next;
                  EXPECT_FALSE(ReadFile(h, buffer, 3, &n, next));
                  far.send("cde");
                  EXPECT_TRUE(GetOverlappedResult(h, next, &n, TRUE));
                  EXPECT_EQ(std::string(buffer, n), "cde");
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

// The event loop of the common serial libraries: one thread keeps an
// overlapped WaitCommEvent pending and, on EV_RXCHAR, asks ClearCommError
// how much is queued and reads that much with an overlapped ReadFile. The
// other port writes `size` bytes through a null-modem cable at 3,000,000
// bit/s; every byte must arrive, once and in order.
class EventLoopTest : public PluggedCommTest {
protected:
    void transfer(size_t size)
    {
        zmodel::NullModem cable(controller().uart(0), controller().uart(1));
        const std::string sender = comPath(0), receiver = comPath(1);
        const std::string text = pattern(size, 9);
        std::atomic<bool> listening{false}, finished{false};
        std::string got;
        DWORD errorsSeen = 0, eventsSeen = 0;

        auto loop = startApp([&] {
            HANDLE h = openPort(receiver, FILE_FLAG_OVERLAPPED);
            if (h == INVALID_HANDLE_VALUE)
                return 1;
            configure(h, 3000000);
            // The queue sizes such a library asks for by default.
            EXPECT_TRUE(SetupComm(h, 4096, 2048));
            // The libraries' "wait for the first byte, then take what is there".
            COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, MAXDWORD - 1, 0, 0};
            SetCommTimeouts(h, &t);
            SetCommMask(h, EV_RXCHAR | EV_RXFLAG | EV_ERR | EV_BREAK | EV_CTS | EV_DSR | EV_RLSD | EV_RING);
            listening = true;
            Overlapped wait, read;
            std::string chunk;
            while (got.size() < text.size()) {
                DWORD events = 0;
                ResetEvent(wait.event());
                if (!WaitCommEvent(h, &events, wait)) {
                    if (GetLastError() != ERROR_IO_PENDING) {
                        ADD_FAILURE() << "WaitCommEvent failed: " << GetLastError();
                        break;
                    }
                    if (!reported(h, &events, wait, 2000)) {
                        ADD_FAILURE() << "no event for 2 s with " << got.size() << " of " << text.size() << " bytes";
                        break;
                    }
                }
                eventsSeen |= events;
                for (;;) {
                    DWORD errors = 0;
                    COMSTAT stat = commStatus(h, &errors);
                    errorsSeen |= errors;
                    if (stat.cbInQue == 0)
                        break;
                    chunk.resize(stat.cbInQue);
                    DWORD n = 0;
                    if (!ReadFile(h, chunk.data(), stat.cbInQue, &n, read) &&
                        !GetOverlappedResult(h, read, &n, TRUE)) {
                        ADD_FAILURE() << "read failed: " << GetLastError();
                        break;
                    }
                    got.append(chunk.data(), n);
                }
            }
            finished = true;
            CloseHandle(h);
            return 0;
        });

        EXPECT_EQ(runApp([&] {
                      HANDLE h = openPort(sender);
                      if (h == INVALID_HANDLE_VALUE)
                          return 1;
                      configure(h, 3000000);
                      while (!listening)
                          Sleep(1);
                      for (size_t at = 0; at < text.size(); at += 4096) {
                          DWORD part = DWORD(std::min<size_t>(4096, text.size() - at)), n = 0;
                          if (!WriteFile(h, text.data() + at, part, &n, nullptr) || n != part) {
                              ADD_FAILURE() << "write at " << at << " failed: " << GetLastError();
                              break;
                          }
                      }
                      while (!finished)
                          Sleep(10);
                      CloseHandle(h);
                      return 0;
                  }),
                  0u);
        EXPECT_EQ(waitApp(*loop), 0u);
        EXPECT_EQ(got.size(), text.size());
        EXPECT_TRUE(got == text) << "the bytes differ from " << firstDifference(got, text);
        EXPECT_EQ(errorsSeen, 0u);
        EXPECT_TRUE(eventsSeen & EV_RXCHAR);
        EXPECT_FALSE(eventsSeen & EV_ERR);
    }
};

TEST_F(EventLoopTest, MovesDataThroughANullModemCableWithoutLoss)
{
    transfer(32 * 1024);
}

// The full mebibyte: 4.1 s of machine time and 16,384 rounds of event,
// ClearCommError and read (one per 64-byte bulk-in packet); a few seconds
// on the simulator.
TEST_F(EventLoopTest, MovesAMebibyteThroughANullModemCableWithoutLoss)
{
    transfer(1024 * 1024);
}

} // namespace
} // namespace ztest

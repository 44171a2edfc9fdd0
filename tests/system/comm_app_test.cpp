// Applications on the simulated machine: programs that use only the Win32
// comm API on \\.\COMn, over the real port driver, the USB stack and the
// controller, with the serial line in virtual time.

#include <windows.h>

#include "comm_app.h"
#include "comm_fixture.h"

#include <string>
#include <vector>

namespace ztest {
namespace {

using CommAppTest = PluggedCommTest;

TEST_F(CommAppTest, BytesComeBackThroughALoopbackPlugAtSeveralRatesAndFramings)
{
    zmodel::LoopbackPlug plug(controller().uart(0));
    std::string path = comPath(0);
    ASSERT_EQ(path, "\\\\.\\COM3");
    struct Setting {
        DWORD baud;
        BYTE bits, parity, stop;
    };
    const Setting settings[] = {
        {9600, 8, NOPARITY, ONESTOPBIT},    {115200, 8, EVENPARITY, ONESTOPBIT}, {1200, 7, ODDPARITY, TWOSTOPBITS},
        {921600, 8, NOPARITY, ONESTOPBIT},  {57600, 6, MARKPARITY, ONESTOPBIT},  {3000000, 8, NOPARITY, ONESTOPBIT},
    };
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path);
                  if (h == INVALID_HANDLE_VALUE)
                      return 1;
                  COMMTIMEOUTS t = {};
                  t.ReadTotalTimeoutConstant = 2000;
                  SetCommTimeouts(h, &t);
                  unsigned seed = 0;
                  for (const Setting& s : settings) {
                      if (!configure(h, s.baud, s.bits, s.parity, s.stop))
                          return 2;
                      DCB now = {};
                      now.DCBlength = sizeof now;
                      GetCommState(h, &now);
                      EXPECT_EQ(now.BaudRate, s.baud);
                      EXPECT_EQ(now.ByteSize, s.bits);
                      EXPECT_EQ(now.Parity, s.parity);
                      EXPECT_EQ(now.StopBits, s.stop);
                      std::string text = pattern(s.baud >= 115200 ? 300 : 40, ++seed);
                      // Characters shorter than 8 bits carry only their low bits.
                      for (char& c : text)
                          c = char(c & ((1 << s.bits) - 1));
                      DWORD written = 0;
                      EXPECT_TRUE(WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr));
                      EXPECT_EQ(written, text.size());
                      EXPECT_EQ(readAll(h, text.size()), text) << s.baud;
                  }
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommAppTest, TwoPortsTalkThroughANullModemCable)
{
    zmodel::NullModem cable(controller().uart(0), controller().uart(1));
    std::string a = comPath(0), b = comPath(1);
    EXPECT_EQ(runApp([&] {
                  HANDLE ha = openPort(a), hb = openPort(b);
                  if (ha == INVALID_HANDLE_VALUE || hb == INVALID_HANDLE_VALUE)
                      return 1;
                  configure(ha, 115200, 8, NOPARITY, ONESTOPBIT);
                  configure(hb, 115200, 8, NOPARITY, ONESTOPBIT);
                  std::string there = pattern(2000, 1), back = pattern(1500, 2);
                  DWORD n = 0;
                  EXPECT_TRUE(WriteFile(ha, there.data(), DWORD(there.size()), &n, nullptr));
                  EXPECT_EQ(readAll(hb, there.size()), there);
                  EXPECT_TRUE(WriteFile(hb, back.data(), DWORD(back.size()), &n, nullptr));
                  EXPECT_EQ(readAll(ha, back.size()), back);
                  CloseHandle(ha);
                  CloseHandle(hb);
                  return 0;
              }),
              0u);
}

TEST_F(CommAppTest, ReadTimeOutsBehaveAsConfigured)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path);
                  configure(h, 9600, 8, NOPARITY, ONESTOPBIT);
                  char buffer[64];
                  DWORD n = 99;

                  // A total time-out with nothing arriving: the read ends at
                  // exactly +100 ms with nothing, and ReadFile succeeds.
                  COMMTIMEOUTS t = {};
                  t.ReadTotalTimeoutConstant = 100;
                  EXPECT_TRUE(SetCommTimeouts(h, &t));
                  double start = nowMs();
                  EXPECT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
                  EXPECT_EQ(n, 0u);
                  EXPECT_EQ(nowMs() - start, 100.0);

                  // "Return at once with what is there."
                  t = {};
                  t.ReadIntervalTimeout = MAXDWORD;
                  EXPECT_TRUE(SetCommTimeouts(h, &t));
                  start = nowMs();
                  EXPECT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
                  EXPECT_EQ(n, 0u);
                  EXPECT_EQ(nowMs() - start, 0.0);

                  // Three characters arrive, then the line is quiet: the
                  // total time-out gives back the three.
                  t = {};
                  t.ReadTotalTimeoutConstant = 200;
                  SetCommTimeouts(h, &t);
                  far.send("abc");
                  EXPECT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));
                  EXPECT_EQ(std::string(buffer, n), "abc");

                  COMMTIMEOUTS back = {};
                  EXPECT_TRUE(GetCommTimeouts(h, &back));
                  EXPECT_EQ(back.ReadTotalTimeoutConstant, 200u);
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommAppTest, OneHandleAtATimeAndAPortReopensAfterClose)
{
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE first = openPort(path);
                  EXPECT_NE(first, INVALID_HANDLE_VALUE);
                  HANDLE second = openPort(path);
                  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
                  EXPECT_EQ(GetFileType(first), DWORD(FILE_TYPE_CHAR));
                  EXPECT_TRUE(CloseHandle(first));
                  HANDLE again = openPort(path);
                  EXPECT_NE(again, INVALID_HANDLE_VALUE);
                  CloseHandle(again);
                  HANDLE none = openPort("\\\\.\\COM77");
                  EXPECT_EQ(none, INVALID_HANDLE_VALUE);
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
                  return 0;
              }),
              0u);
}

TEST_F(CommAppTest, PurgeEmptiesTheInputAndEndsAPendingRead)
{
    zmodel::FarEnd far(controller().uart(0));
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  configure(h, 115200, 8, NOPARITY, ONESTOPBIT);
                  far.setRate(115200);
                  far.send("unread bytes");
                  Sleep(50);   // 12 characters at 115,200 bit/s take about 1 ms
                  DWORD errors = 0;
                  COMSTAT stat = {};
                  EXPECT_TRUE(ClearCommError(h, &errors, &stat));
                  EXPECT_EQ(stat.cbInQue, 12u);
                  EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
                  EXPECT_TRUE(ClearCommError(h, &errors, &stat));
                  EXPECT_EQ(stat.cbInQue, 0u);

                  // A read waiting for data ends with ERROR_OPERATION_ABORTED.
                  OVERLAPPED ov = {};
                  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                  char buffer[16];
                  DWORD n = 0;
                  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT));
                  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
                  CloseHandle(ov.hEvent);
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

TEST_F(CommAppTest, AnOverlappedReadCompletesWhenTheDataArrives)
{
    zmodel::FarEnd far(controller().uart(0), zmodel::LineSettings{});
    std::string path = comPath(0);
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  configure(h, 9600, 8, NOPARITY, ONESTOPBIT);
                  OVERLAPPED ov = {};
                  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                  char buffer[5];
                  DWORD n = 0;
                  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
                  uint64_t done = far.send("hello");
                  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
                  EXPECT_GE(machine->now(), done);
                  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
                  EXPECT_EQ(std::string(buffer, n), "hello");

                  // An overlapped write of a few bytes goes out while the
                  // program does something else.
                  OVERLAPPED wov = {};
                  wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                  BOOL at = WriteFile(h, "world", 5, &n, &wov);
                  if (!at) {
                      EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  }
                  EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
                  EXPECT_EQ(n, 5u);
                  Sleep(20);
                  EXPECT_EQ(far.receivedBytes(), (std::vector<uint8_t>{'w', 'o', 'r', 'l', 'd'}));
                  CloseHandle(wov.hEvent);
                  CloseHandle(ov.hEvent);
                  CloseHandle(h);
                  return 0;
              }),
              0u);
    machine->sleep(100);
    EXPECT_EQ(far.receivedBytes(), (std::vector<uint8_t>{'w', 'o', 'r', 'l', 'd'}));
}

TEST_F(CommAppTest, AProgramThatEndsWithAReadPendingLeavesThePortFree)
{
    std::string path = comPath(0);
    static char buffer[16];
    static OVERLAPPED ov;
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
                  ov = {};
                  DWORD n = 0;
                  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
                  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                  return 0;   // the read is still waiting: the system cancels it
              }),
              0u);
    EXPECT_EQ(ov.Internal, ULONG_PTR(0xC0000120));   // STATUS_CANCELLED
    EXPECT_EQ(runApp([&] {
                  HANDLE h = openPort(path);
                  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
                  CloseHandle(h);
                  return 0;
              }),
              0u);
}

} // namespace
} // namespace ztest

// The Win32 device and comm API over a serial test device: the control
// sequences kernel32 sends and their buffers, overlapped requests, waits,
// cancellation, the status-to-error mapping and the comm structures.

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <memory>

#include "host/nt/machine.h"
#include "host/win32/system.h"
#include "serial_test_device.h"
#include "tests/support/machine_fixture.h"

namespace ztest {
namespace {

namespace nt = host::win32::nt;
constexpr int32_t kCancelled = int32_t(0xC0000120), kInvalidParameter = int32_t(0xC000000D),
                  kNotImplemented = int32_t(0xC0000002), kBufferTooSmall = int32_t(0xC0000023),
                  kDeletePending = int32_t(0xC0000056), kNotConnected = int32_t(0xC000009D),
                  kInvalidBufferSize = int32_t(0xC0000206), kIoTimeout = int32_t(0xC00000B5);

class CommApiTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        windows = std::make_unique<host::win32::System>(*machine);
        port = std::make_unique<SerialTestDevice>(*machine, u"COM9");
    }
    void TearDown() override {
        port.reset();
        windows.reset();
        MachineTest::TearDown();
    }
    // Runs `body` as a 64-bit process's main routine.
    void inProcess(std::function<void()> body) {
        host::win32::ProcessOptions options;
        options.image = "C:\\Tools\\term.exe";
        options.is32Bit = false;
        windows->run(options, [&](host::win32::ProgramContext&) {
            body();
            return 0;
        });
    }
    HANDLE open(DWORD flags = 0) {
        return CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    // Completes the oldest waiting read `ms` milliseconds of machine time from now.
    void completeReadIn(uint32_t ms, std::string bytes, int32_t status = 0) {
        machine->at(machine->now() + uint64_t(ms) * 10000,
                    [this, bytes, status] { EXPECT_TRUE(port->completeRead(bytes, status)); });
    }
    std::vector<uint32_t> controlsAfterClear(std::function<void()> f) {
        port->clear();
        f();
        return port->controls();
    }
    template <class T>
    static T decode(const RecordedRequest& r) {
        T v{};
        EXPECT_EQ(r.input.size(), sizeof(T));
        std::memcpy(&v, r.input.data(), std::min(sizeof(T), r.input.size()));
        return v;
    }
    RecordedRequest lastControl(uint32_t code) {
        RecordedRequest found;
        for (auto& r : port->requests())
            if (r.major == SerialTestDevice::kControl && r.code == code)
                found = r;
        return found;
    }

    std::unique_ptr<host::win32::System> windows;
    std::unique_ptr<SerialTestDevice> port;
};

const std::vector<uint32_t> kGetState = {nt::kGetBaudRate, nt::kGetLineControl, nt::kGetChars, nt::kGetHandflow};

std::vector<uint32_t> operator+(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(CommApiTest, DcbBitFieldsSitWhereTheSdkPutsThem) {
    DCB dcb{};
    uint32_t word;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    std::memcpy(&word, reinterpret_cast<char*>(&dcb) + 8, 4);
    EXPECT_EQ(word, (2u << 4) | (3u << 12) | (1u << 14));
    COMSTAT st{};
    st.fTxim = 1;
    std::memcpy(&word, &st, 4);
    EXPECT_EQ(word, 1u << 6);
}

TEST_F(CommApiTest, OpenNamesErrorsTypeAndClose) {
    inProcess([&] {
        HANDLE h = open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetFileType(h), DWORD(FILE_TYPE_CHAR));
        // One open file at a time; a name nobody made.
        EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(CreateFileA("\\\\.\\COM42", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        EXPECT_TRUE(FlushFileBuffers(h));
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        // COM1-COM9 are DOS device names in any folder, with or without a colon.
        for (const char* name : {"COM9", "com9:", "C:\\Temp\\COM9.txt"}) {
            HANDLE again = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_NE(again, INVALID_HANDLE_VALUE) << name;
            CloseHandle(again);
        }
        HANDLE wide = CreateFileW(L"\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(wide, INVALID_HANDLE_VALUE);
        // Left open: the process's end closes it.
    });
    auto r = port->requests();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 2].major, SerialTestDevice::kCleanup);
    EXPECT_EQ(r.back().major, SerialTestDevice::kClose);
    inProcess([&] {
        HANDLE h = open();
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, GetCommStateReadsTheFourSettingsAndTranslatesThem) {
    inProcess([&] {
        HANDLE h = open();
        DCB dcb{};
        std::vector<uint32_t> seq = controlsAfterClear([&] { EXPECT_TRUE(GetCommState(h, &dcb)); });
        EXPECT_EQ(seq, kGetState);
        EXPECT_EQ(dcb.BaudRate, 9600u);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
        EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
        EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutX | dcb.fInX | dcb.fAbortOnError, 0u);
        EXPECT_EQ(dcb.XonLim, 2048);
        EXPECT_EQ(dcb.XoffLim, 512);
        EXPECT_EQ(dcb.XonChar, 0x11);
        EXPECT_EQ(dcb.XoffChar, 0x13);
        // A failing request fails the call with its error.
        port->failNext(nt::kGetChars, kNotConnected);
        EXPECT_FALSE(GetCommState(h, &dcb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, SetCommStateSendsKernel32sSequenceAndBuffers) {
    inProcess([&] {
        HANDLE h = open(FILE_FLAG_OVERLAPPED);   // the comm calls wait by themselves
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 115200;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 1;
        dcb.fOutX = dcb.fInX = dcb.fNull = dcb.fErrorChar = dcb.fTXContinueOnXoff = dcb.fAbortOnError = 1;
        dcb.XonLim = 100;
        dcb.XoffLim = 200;
        dcb.XonChar = 0x21;
        dcb.XoffChar = 0x22;
        dcb.ErrorChar = '?';
        dcb.EofChar = 0x1A;
        dcb.EvtChar = '\n';
        std::vector<uint32_t> seq = controlsAfterClear([&] { EXPECT_TRUE(SetCommState(h, &dcb)); });
        // RTS handshake leaves RTS to the driver; DTR disabled is cleared at once.
        EXPECT_EQ(seq, kGetState + std::vector<uint32_t>({nt::kSetBaudRate, nt::kClrDtr, nt::kSetLineControl,
                                                          nt::kSetChars, nt::kSetHandflow}));
        EXPECT_EQ(decode<nt::SerialBaudRate>(lastControl(nt::kSetBaudRate)).BaudRate, 115200u);
        auto line = decode<nt::SerialLineControl>(lastControl(nt::kSetLineControl));
        EXPECT_EQ(line.WordLength, 7);
        EXPECT_EQ(line.Parity, EVENPARITY);
        EXPECT_EQ(line.StopBits, TWOSTOPBITS);
        auto chars = decode<nt::SerialChars>(lastControl(nt::kSetChars));
        EXPECT_EQ(chars.XonChar, 0x21);
        EXPECT_EQ(chars.XoffChar, 0x22);
        EXPECT_EQ(chars.ErrorChar, '?');
        EXPECT_EQ(chars.BreakChar, '?');   // kernel32 sends the error character as the break character
        EXPECT_EQ(chars.EofChar, 0x1A);
        EXPECT_EQ(chars.EventChar, '\n');
        auto flow = decode<nt::SerialHandflow>(lastControl(nt::kSetHandflow));
        EXPECT_EQ(flow.ControlHandShake,
                  nt::kCtsHandshake | nt::kDsrHandshake | nt::kDsrSensitivity | nt::kErrorAbort);
        EXPECT_EQ(flow.FlowReplace, nt::kRtsHandshake | nt::kAutoTransmit | nt::kAutoReceive | nt::kNullStripping |
                                        nt::kErrorChar | nt::kXoffContinue);
        EXPECT_EQ(flow.XonLimit, 100);
        EXPECT_EQ(flow.XoffLimit, 200);
        // What was set reads back the same.
        DCB back{};
        back.DCBlength = sizeof back;
        EXPECT_TRUE(GetCommState(h, &back));
        back.fParity = dcb.fParity;
        dcb.fBinary = 1;
        EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);

        // RTS and DTR enabled are raised at once, in this order.
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        seq = controlsAfterClear([&] { EXPECT_TRUE(SetCommState(h, &dcb)); });
        EXPECT_EQ(seq, kGetState + std::vector<uint32_t>({nt::kSetBaudRate, nt::kSetRts, nt::kSetDtr,
                                                          nt::kSetLineControl, nt::kSetChars, nt::kSetHandflow}));
        auto flow2 = decode<nt::SerialHandflow>(lastControl(nt::kSetHandflow));
        EXPECT_EQ(flow2.ControlHandShake & nt::kDtrMask, nt::kDtrControl);
        EXPECT_EQ(flow2.FlowReplace & nt::kRtsMask, nt::kRtsControl);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, SetCommStatePutsTheOldSettingsBackWhenAStepFails) {
    inProcess([&] {
        HANDLE h = open();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        DCB wanted = dcb;
        wanted.BaudRate = 57600;
        wanted.ByteSize = 5;

        // A refused rate changes nothing and needs no restore.
        port->failNext(nt::kSetBaudRate, kInvalidParameter);
        auto seq = controlsAfterClear([&] { EXPECT_FALSE(SetCommState(h, &wanted)); });
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(seq, kGetState + std::vector<uint32_t>{nt::kSetBaudRate});

        // A refused character set: the old settings go back (9600), the
        // error stays the failure's.
        port->failNext(nt::kSetChars, kNotImplemented);
        seq = controlsAfterClear([&] { EXPECT_FALSE(SetCommState(h, &wanted)); });
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
        const std::vector<uint32_t> setAll = {nt::kSetBaudRate, nt::kSetRts, nt::kSetDtr, nt::kSetLineControl,
                                              nt::kSetChars};
        EXPECT_EQ(seq, kGetState + setAll + kGetState + setAll + std::vector<uint32_t>{nt::kSetHandflow});
        DCB now{};
        EXPECT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(now.BaudRate, 9600u);
        EXPECT_EQ(now.ByteSize, 8);

        // A DTR mode that does not exist, after the rate was set.
        wanted.fDtrControl = 3;
        seq = controlsAfterClear([&] { EXPECT_FALSE(SetCommState(h, &wanted)); });
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(seq[4], nt::kSetBaudRate);
        EXPECT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(now.BaudRate, 9600u);

        // A restore that fails the same way is not retried without end.
        wanted.fDtrControl = DTR_CONTROL_ENABLE;
        port->failNext(nt::kSetLineControl, kInvalidParameter);
        port->failNext(nt::kSetLineControl, kInvalidParameter);
        seq = controlsAfterClear([&] { EXPECT_FALSE(SetCommState(h, &wanted)); });
        EXPECT_EQ(seq.size(), 2 * (4 + 4u));
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, BuildCommDcbParsesBothModeForms) {
    inProcess([] {
        DCB dcb{};
        dcb.fOutxCtsFlow = 1;
        EXPECT_TRUE(BuildCommDCBA("96,e,7,2", &dcb));
        EXPECT_EQ(dcb.BaudRate, 9600u);
        EXPECT_EQ(dcb.Parity, EVENPARITY);
        EXPECT_EQ(dcb.ByteSize, 7);
        EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
        // The old form without a flow letter turns flow control off.
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
        EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));

        EXPECT_TRUE(BuildCommDCBA("COM1: 19,n,8,1.5,p", &dcb));
        EXPECT_EQ(dcb.BaudRate, 19200u);
        EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
        EXPECT_EQ(dcb.fOutxCtsFlow & dcb.fOutxDsrFlow, 1u);
        EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));
        EXPECT_TRUE(BuildCommDCBA("115200,N,8,1,x", &dcb));
        EXPECT_EQ(dcb.BaudRate, 115200u);
        EXPECT_EQ(dcb.fInX & dcb.fOutX, 1u);

        // The new form changes only what it names, and the stop bits.
        DCB n{};
        n.ByteSize = 6;
        n.StopBits = TWOSTOPBITS;
        EXPECT_TRUE(BuildCommDCBA("baud=1200 parity=O xon=on dtr=hs rts=tg idsr=on", &n));
        EXPECT_EQ(n.BaudRate, 1200u);
        EXPECT_EQ(n.Parity, ODDPARITY);
        EXPECT_EQ(n.ByteSize, 6);
        EXPECT_EQ(n.StopBits, ONESTOPBIT);
        EXPECT_EQ(n.fInX & n.fOutX & n.fDsrSensitivity, 1u);
        EXPECT_EQ(n.fDtrControl, DWORD(DTR_CONTROL_HANDSHAKE));
        EXPECT_EQ(n.fRtsControl, DWORD(RTS_CONTROL_TOGGLE));
        EXPECT_TRUE(BuildCommDCBA("COM3: BAUD=110 DATA=8", &n));
        EXPECT_EQ(n.StopBits, TWOSTOPBITS);
        COMMTIMEOUTS to{1, 2, 3, 4, 5};
        EXPECT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=on", &n, &to));
        EXPECT_EQ(to.WriteTotalTimeoutConstant, 60000u);
        EXPECT_EQ(to.ReadIntervalTimeout, 0u);

        // Bad definitions leave the DCB alone.
        DCB before = n;
        for (const char* bad : {"", "fast", "9600,n,9,1", "9600,q,8,1", "9600,n,8", "9600,n,8,3", "9600,n,8,1,z",
                                "baud=", "baud=9600 parity=X", "baud=9600,data=8", "speed=9600", "data=4",
                                "baud=9600 xon=maybe", "99999999999,n,8,1"}) {
            SetLastError(0);
            EXPECT_FALSE(BuildCommDCBA(bad, &n)) << bad;
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << bad;
            EXPECT_EQ(std::memcmp(&before, &n, sizeof n), 0) << bad;
        }
    });
}

TEST_F(CommApiTest, OverlappedReadPendsAndGetOverlappedResultCollectsIt) {
    inProcess([&] {
        HANDLE h = open(FILE_FLAG_OVERLAPPED);
        HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);   // set: the start resets it
        OVERLAPPED ov{};
        ov.hEvent = event;
        char buffer[16] = {};
        DWORD n = 99;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

        DWORD start = GetTickCount();
        completeReadIn(25, "hello");
        EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        EXPECT_EQ(GetTickCount() - start, 25u);
        EXPECT_EQ(n, 5u);
        EXPECT_EQ(std::string(buffer, n), "hello");
        EXPECT_EQ(ov.Internal, 0u);
        EXPECT_EQ(ov.InternalHigh, 5u);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

        // Without an event, the file handle is signalled; a read ending in
        // a serial time-out is a successful read of what came.
        OVERLAPPED plain{};
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &plain));
        completeReadIn(5, "ab", nt::kTimeout);
        EXPECT_TRUE(GetOverlappedResult(h, &plain, &n, TRUE));
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(plain.Internal, ULONG_PTR(nt::kTimeout));

        // A request that fails at once leaves the OVERLAPPED and its event alone.
        ResetEvent(event);
        port->failNextMajor(SerialTestDevice::kRead, kInvalidParameter);
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(ov.Internal, ULONG_PTR(STATUS_PENDING));
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
        // A write that the driver completes at once is done on return.
        EXPECT_TRUE(WriteFile(h, "xyz", 3, &n, &ov));
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(port->written(), "xyz");
        CloseHandle(event);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, WaitForMultipleObjectsOverTwoRequests) {
    inProcess([&] {
        HANDLE h = open(FILE_FLAG_OVERLAPPED);
        HANDLE events[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, "w")};
        OVERLAPPED read{}, wait{};
        read.hEvent = events[0];
        wait.hEvent = events[1];
        char buffer[8];
        DWORD mask = 0, n = 0;
        EXPECT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &read));
        EXPECT_FALSE(WaitCommEvent(h, &mask, &wait));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_EQ(port->waiting(), 2u);

        DWORD start = GetTickCount();
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 40), DWORD(WAIT_TIMEOUT));
        EXPECT_EQ(GetTickCount() - start, 40u);
        machine->at(machine->now() + 100000, [this] { port->completeWait(EV_CTS); });
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
        EXPECT_TRUE(GetOverlappedResult(h, &wait, &n, FALSE));
        EXPECT_EQ(mask, DWORD(EV_CTS));
        EXPECT_EQ(n, 4u);
        // Waiting for all: only when the read has ended too.
        EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 10), DWORD(WAIT_TIMEOUT));
        completeReadIn(10, "q");
        EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(GetOverlappedResult(h, &read, &n, FALSE));
        EXPECT_EQ(n, 1u);
        // One handle twice in a wait for all, no handles, a bad handle.
        HANDLE twice[2] = {events[0], events[0]};
        EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
        HANDLE bad[1] = {reinterpret_cast<HANDLE>(0x7777)};
        EXPECT_EQ(WaitForMultipleObjects(1, bad, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        CloseHandle(events[0]);
        CloseHandle(events[1]);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, CancelIoEndsPendingRequestsWithOperationAborted) {
    inProcess([&] {
        HANDLE h = open(FILE_FLAG_OVERLAPPED);
        OVERLAPPED a{}, b{};
        a.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        b.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buffer[8];
        DWORD n = 7;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &a));
        EXPECT_TRUE(CancelIo(h));   // waits until the request is done
        EXPECT_TRUE(HasOverlappedIoCompleted(&a));
        EXPECT_FALSE(GetOverlappedResult(h, &a, &n, FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(n, 0u);

        // CancelIoEx picks one request by its OVERLAPPED.
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &a));
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &b));
        EXPECT_TRUE(CancelIoEx(h, &b));
        EXPECT_FALSE(GetOverlappedResult(h, &b, &n, TRUE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(port->waiting(), 1u);
        EXPECT_FALSE(CancelIoEx(h, &b));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
        // Closing the handle ends the other (the driver's cleanup).
        CloseHandle(h);
        EXPECT_FALSE(GetOverlappedResult(h, &a, &n, TRUE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        CloseHandle(a.hEvent);
        CloseHandle(b.hEvent);
    });
    EXPECT_EQ(port->waiting(), 0u);
}

TEST_F(CommApiTest, SynchronousHandleWaitsAndMapsStatuses) {
    inProcess([&] {
        HANDLE h = open();
        char buffer[8];
        DWORD n = 0;
        DWORD start = GetTickCount();
        completeReadIn(30, "sync");
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetTickCount() - start, 30u);
        EXPECT_EQ(std::string(buffer, n), "sync");
        // A serial time-out is a successful (short) read.
        port->answerReads("ab", nt::kTimeout);
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(n, 2u);

        struct Case {
            int32_t status;
            DWORD error;
        };
        for (Case c : {Case{kCancelled, ERROR_OPERATION_ABORTED}, Case{kInvalidParameter, ERROR_INVALID_PARAMETER},
                       Case{kNotImplemented, ERROR_INVALID_FUNCTION}, Case{kBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
                       Case{kDeletePending, ERROR_ACCESS_DENIED}, Case{kInvalidBufferSize, ERROR_INVALID_USER_BUFFER},
                       Case{kNotConnected, ERROR_DEVICE_NOT_CONNECTED}, Case{kIoTimeout, ERROR_SEM_TIMEOUT}}) {
            port->failNext(nt::kPurge, c.status);
            EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
            EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
            port->failNextMajor(SerialTestDevice::kWrite, c.status);
            EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
            EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        }
        EXPECT_EQ(RtlNtStatusToDosError(0), 0u);
        EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(0x80070005)), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(0xC0ABCDEF)), DWORD(ERROR_MR_MID_NOT_FOUND));
        // Device controls on a handle that is not a device.
        EXPECT_FALSE(GetCommModemStatus(reinterpret_cast<HANDLE>(0x7770), &n));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, CommStatusLinesAndSimpleControls) {
    nt::SerialStatus st{};
    st.Errors = nt::kErrorBreak | nt::kErrorFraming | nt::kErrorOverrun | nt::kErrorQueueOverrun | nt::kErrorParity;
    st.HoldReasons = nt::kTxWaitingForCts | nt::kTxWaitingForXon | nt::kTxWaitingXoffSent;
    st.AmountInInQueue = 17;
    st.AmountInOutQueue = 3;
    st.EofReceived = 1;
    port->setCommStatus(st);
    port->setModemStatus(MS_CTS_ON | MS_RLSD_ON);
    inProcess([&] {
        HANDLE h = open();
        DWORD errors = 0;
        COMSTAT cs{};
        EXPECT_TRUE(ClearCommError(h, &errors, &cs));
        EXPECT_EQ(errors, DWORD(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
        EXPECT_EQ(cs.fCtsHold, 1u);
        EXPECT_EQ(cs.fDsrHold | cs.fRlsdHold | cs.fTxim, 0u);
        EXPECT_EQ(cs.fXoffHold & cs.fXoffSent & cs.fEof, 1u);
        EXPECT_EQ(cs.cbInQue, 17u);
        EXPECT_EQ(cs.cbOutQue, 3u);
        EXPECT_TRUE(ClearCommError(h, nullptr, nullptr));
        DWORD modem = 0;
        EXPECT_TRUE(GetCommModemStatus(h, &modem));
        EXPECT_EQ(modem, DWORD(MS_CTS_ON | MS_RLSD_ON));

        auto seq = controlsAfterClear([&] {
            for (DWORD f : {SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR, RESETDEV, SETBREAK, CLRBREAK})
                EXPECT_TRUE(EscapeCommFunction(h, f));
            EXPECT_TRUE(SetCommBreak(h));
            EXPECT_TRUE(ClearCommBreak(h));
            EXPECT_TRUE(TransmitCommChar(h, 'Z'));
            EXPECT_TRUE(SetupComm(h, 4096, 1024));
            EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR));
        });
        EXPECT_EQ(seq, (std::vector<uint32_t>{nt::kSetXoff, nt::kSetXon, nt::kSetRts, nt::kClrRts, nt::kSetDtr,
                                              nt::kClrDtr, nt::kResetDevice, nt::kSetBreakOn, nt::kSetBreakOff,
                                              nt::kSetBreakOn, nt::kSetBreakOff, nt::kImmediateChar,
                                              nt::kSetQueueSize, nt::kPurge}));
        EXPECT_EQ(lastControl(nt::kImmediateChar).input, std::vector<uint8_t>{'Z'});
        auto q = decode<nt::SerialQueueSize>(lastControl(nt::kSetQueueSize));
        EXPECT_EQ(q.InSize, 4096u);
        EXPECT_EQ(q.OutSize, 1024u);
        EXPECT_EQ(decode<uint32_t>(lastControl(nt::kPurge)), DWORD(PURGE_TXABORT | PURGE_RXCLEAR));
        EXPECT_FALSE(EscapeCommFunction(h, 10));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

        COMMTIMEOUTS to{50, 2, 100, 3, 200};
        EXPECT_TRUE(SetCommTimeouts(h, &to));
        COMMTIMEOUTS back{};
        EXPECT_TRUE(GetCommTimeouts(h, &back));
        EXPECT_EQ(std::memcmp(&to, &back, sizeof to), 0);
        DWORD mask = 0;
        EXPECT_TRUE(SetCommMask(h, EV_RXFLAG | EV_ERR));
        EXPECT_TRUE(GetCommMask(h, &mask));
        EXPECT_EQ(mask, DWORD(EV_RXFLAG | EV_ERR));

        COMMPROP prop{};
        EXPECT_TRUE(GetCommProperties(h, &prop));
        EXPECT_EQ(lastControl(nt::kGetProperties).outputLength, sizeof(COMMPROP));
        EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
        EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
        EXPECT_EQ(prop.dwProvSubType, PST_RS232);
        EXPECT_EQ(prop.dwCurrentRxQueue, 65536u);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, WaitCommEventSynchronousAndCancelledByClose) {
    inProcess([&] {
        HANDLE h = open(FILE_FLAG_OVERLAPPED);
        DWORD mask = 0;
        machine->at(machine->now() + 20000, [this] { port->completeWait(EV_RXCHAR | EV_TXEMPTY); });
        EXPECT_TRUE(WaitCommEvent(h, &mask, nullptr));
        EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_TXEMPTY));
        // A pending wait ends when the handle closes.
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_FALSE(WaitCommEvent(h, &mask, &ov));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        CloseHandle(h);
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
        EXPECT_EQ(ov.Internal, ULONG_PTR(DWORD(kCancelled)));
        CloseHandle(ov.hEvent);
    });
}

} // namespace
} // namespace ztest

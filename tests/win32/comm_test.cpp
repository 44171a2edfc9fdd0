// The Win32 device and comm API over a serial test device: the control
// sequences kernel32 sends and their buffers, overlapped requests, waits,
// cancellation, the status-to-error mapping and the comm structures.

#include "win32_fixture.h"

namespace ztest {
namespace {

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

// BuildCommDCB and its kin, every form both ways. The DCB starts from
// settings no definition gives, so what a definition leaves alone shows.
struct DefinitionCase {
    const char* definition;
    bool accepted;
    DWORD baud = 0;          // 0: left alone
    int parity = -1, data = -1, stop = -1;
    char flow = 0;           // the old form's flow field: 'n' none, 'x', 'p'; 0: left alone
};

const DefinitionCase kDefinitions[] = {
    // The old form, with and without a device prefix.
    {"96,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, 'n'},
    {"COM1:96,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, 'n'},
    {"COM1: 96,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, 'n'},
    {"COM1  :96,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, 'n'},
    {"COM12 96,n,8,1", true, 9600, NOPARITY, 8, ONESTOPBIT, 'n'},
    {"com3:19,e,7,2", true, 19200, EVENPARITY, 7, TWOSTOPBITS, 'n'},
    {"11,o,5,1.5", true, 110, ODDPARITY, 5, ONE5STOPBITS, 'n'},
    {"115200,N,8,1,x", true, 115200, NOPARITY, 8, ONESTOPBIT, 'x'},
    {"300 , s , 6 , 2 , p", true, 300, SPACEPARITY, 6, TWOSTOPBITS, 'p'},
    {"24,M,8,1", true, 2400, MARKPARITY, 8, ONESTOPBIT, 'n'},
    // The new form: only what it names, and the stop bits.
    {"baud=1200 parity=O", true, 1200, ODDPARITY, -1, ONESTOPBIT},
    {"COM2: baud=110 data=7", true, 110, -1, 7, TWOSTOPBITS},
    {"COM2  : baud=9600 stop=1.5", true, 9600, -1, -1, ONE5STOPBITS},
    {"BAUD=19200 PARITY=e DATA=8 STOP=2 XON=on ODSR=off OCTS=on DTR=hs RTS=tg IDSR=on", true, 19200, EVENPARITY, 8,
     TWOSTOPBITS},
    {"parity=n ", true, 0, NOPARITY, -1, ONESTOPBIT},
    // Refused, changing nothing.
    {"", false},
    {" 96,n,8,1", false},
    {" baud=9600", false},
    {"COM0:96,n,8,1", false},
    {"COM01:96,n,8,1", false},
    {"COM:96,n,8,1", false},
    {"COM1x:96,n,8,1", false},
    {"COM1:", false},
    {"fast", false},
    {"96,n,9,1", false},
    {"96,q,8,1", false},
    {"96,n,8", false},
    {"96,n,8,3", false},
    {"96,n,8,1,z", false},
    {"96,n,8,1,", false},
    {"96,n,8,1 x", false},
    {"99999999999,n,8,1", false},
    {"baud=", false},
    {"baud=9600 parity=X", false},
    {"baud=9600,data=8", false},
    {"speed=9600", false},
    {"data=4", false},
    {"baud=9600 xon=maybe", false},
    {"baud=9600 to=sometimes", false},
};

DCB startingDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1234;
    dcb.Parity = MARKPARITY;
    dcb.ByteSize = 6;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return dcb;
}

std::u16string wide(const char* text) {
    return std::u16string(text, text + std::strlen(text));
}

TEST_F(CommApiTest, BuildCommDcbTakesBothFormsAndRefusesBadDefinitionsWhole) {
    inProcess([] {
        const COMMTIMEOUTS startTimeouts{1, 2, 3, 4, 5};
        for (const DefinitionCase& c : kDefinitions) {
            const std::u16string w = wide(c.definition);
            const auto* wideDefinition = reinterpret_cast<LPCWSTR>(w.c_str());
            for (int form = 0; form < 4; ++form) {
                SCOPED_TRACE(std::string("\"") + c.definition + "\" form " + std::to_string(form));
                DCB dcb = startingDcb();
                COMMTIMEOUTS timeouts = startTimeouts;
                SetLastError(4321);
                BOOL ok = form == 0   ? BuildCommDCBA(c.definition, &dcb)
                          : form == 1 ? BuildCommDCBW(wideDefinition, &dcb)
                          : form == 2 ? BuildCommDCBAndTimeoutsA(c.definition, &dcb, &timeouts)
                                      : BuildCommDCBAndTimeoutsW(wideDefinition, &dcb, &timeouts);
                const DCB before = startingDcb();
                if (!c.accepted) {
                    EXPECT_FALSE(ok);
                    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
                    EXPECT_EQ(std::memcmp(&dcb, &before, sizeof dcb), 0);
                    EXPECT_EQ(std::memcmp(&timeouts, &startTimeouts, sizeof timeouts), 0);
                    continue;
                }
                ASSERT_TRUE(ok);
                EXPECT_EQ(GetLastError(), 4321u) << "success leaves the last error";
                EXPECT_EQ(dcb.BaudRate, c.baud ? c.baud : before.BaudRate);
                EXPECT_EQ(dcb.Parity, c.parity >= 0 ? c.parity : before.Parity);
                EXPECT_EQ(dcb.ByteSize, c.data >= 0 ? c.data : before.ByteSize);
                EXPECT_EQ(dcb.StopBits, c.stop >= 0 ? c.stop : before.StopBits);
                EXPECT_EQ(dcb.DCBlength, before.DCBlength);
                if (c.flow) {
                    EXPECT_EQ(dcb.fOutX & dcb.fInX, c.flow == 'x' ? 1u : 0u);
                    EXPECT_EQ(dcb.fOutxCtsFlow & dcb.fOutxDsrFlow, c.flow == 'p' ? 1u : 0u);
                    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow, c.flow == 'p' ? 1u : 0u);
                    EXPECT_EQ(dcb.fDtrControl, DWORD(c.flow == 'p' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE));
                    EXPECT_EQ(dcb.fRtsControl, DWORD(c.flow == 'p' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE));
                } else if (std::strchr(c.definition, '=') && !std::strstr(c.definition, "XON")) {
                    // The new form leaves flow control alone unless it names it.
                    EXPECT_EQ(dcb.fOutX, before.fOutX);
                    EXPECT_EQ(dcb.fOutxCtsFlow, before.fOutxCtsFlow);
                    EXPECT_EQ(dcb.fDtrControl, before.fDtrControl);
                }
                EXPECT_EQ(std::memcmp(&timeouts, &startTimeouts, sizeof timeouts), 0);
            }
        }

        // Every keyword of the new form, and the time-outs it sets.
        DCB dcb = startingDcb();
        COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
        ASSERT_TRUE(BuildCommDCBAndTimeoutsA(
            "BAUD=19200 PARITY=e DATA=8 STOP=2 XON=on ODSR=off OCTS=on DTR=hs RTS=tg IDSR=on to=on", &dcb, &timeouts));
        EXPECT_EQ(dcb.fOutX & dcb.fInX & dcb.fOutxCtsFlow & dcb.fDsrSensitivity, 1u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_HANDSHAKE));
        EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_TOGGLE));
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
        EXPECT_EQ(timeouts.ReadIntervalTimeout + timeouts.ReadTotalTimeoutMultiplier +
                      timeouts.ReadTotalTimeoutConstant + timeouts.WriteTotalTimeoutMultiplier,
                  0u);
        ASSERT_TRUE(BuildCommDCBAndTimeoutsA("to=off", &dcb, &timeouts));
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
        // No definition, no DCB: refused.
        EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
        EXPECT_FALSE(BuildCommDCBA("96,n,8,1", nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
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

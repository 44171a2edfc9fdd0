// kernel32 as serial programs use it beyond the comm functions: threads and
// their handles, mutexes, code page conversions, the port's default
// configuration, and what ReadFile, WriteFile and DeviceIoControl leave in
// the last error and the byte counts.

#include "win32_fixture.h"

#include "host/nt/cm_registry.h"

#include <atomic>

namespace ztest {
namespace {

struct Shared {
    HANDLE event = nullptr;
    HANDLE mutex = nullptr;
    HANDLE port = nullptr;
    std::atomic<DWORD> value{0};
    std::atomic<DWORD> threadId{0};
};

TEST_F(CommApiTest, ThreadsRunAreWaitedForAndEndWithTheirProcess) {
    Shared shared;
    inProcess([&] {
        shared.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD id = 0;
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID p) WINAPI -> DWORD {
                auto* s = static_cast<Shared*>(p);
                s->threadId = GetCurrentThreadId();
                WaitForSingleObject(s->event, INFINITE);
                return 7;
            },
            &shared, 0, &id);
        ASSERT_NE(t, nullptr);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, DWORD(STILL_ACTIVE));
        DWORD start = GetTickCount();
        EXPECT_EQ(WaitForSingleObjectEx(t, 50, TRUE), DWORD(WAIT_TIMEOUT));
        EXPECT_EQ(GetTickCount() - start, 50u);
        SetEvent(shared.event);
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 7u);
        EXPECT_EQ(shared.threadId.load(), id);
        EXPECT_NE(id, GetCurrentThreadId());
        EXPECT_TRUE(CloseHandle(t));
        EXPECT_TRUE(CloseHandle(GetCurrentThread()));
        EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) WINAPI -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr),
                  nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
        CloseHandle(shared.event);

        // A thread still reading when the program returns: the process's
        // end closes the port, which ends the read, and then the thread.
        shared.port = open();
        CloseHandle(CreateThread(
            nullptr, 0,
            [](LPVOID p) WINAPI -> DWORD {
                auto* s = static_cast<Shared*>(p);
                char buffer[4];
                DWORD n = 0;
                if (!ReadFile(s->port, buffer, sizeof buffer, &n, nullptr))
                    s->value = GetLastError();
                return 0;
            },
            &shared, 0, nullptr));
        Sleep(10);
    });
    EXPECT_EQ(shared.value.load(), DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(CommApiTest, MutexesBelongToTheThreadThatTookThemAndAreAbandonedWithIt) {
    Shared shared;
    inProcess([&] {
        shared.mutex = CreateMutexW(nullptr, TRUE, L"Local\\term");
        ASSERT_NE(shared.mutex, nullptr);
        // The owner takes it again; another thread can neither take nor release it.
        EXPECT_EQ(WaitForSingleObject(shared.mutex, 0), WAIT_OBJECT_0);
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID p) WINAPI -> DWORD {
                auto* s = static_cast<Shared*>(p);
                DWORD r = WaitForSingleObject(s->mutex, 0);
                BOOL released = ReleaseMutex(s->mutex);
                return r == WAIT_TIMEOUT && !released && GetLastError() == ERROR_NOT_OWNER ? 0 : 1;
            },
            &shared, 0, nullptr);
        WaitForSingleObject(t, INFINITE);
        DWORD code = 9;
        GetExitCodeThread(t, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(t);
        EXPECT_TRUE(ReleaseMutex(shared.mutex));
        EXPECT_TRUE(ReleaseMutex(shared.mutex));
        EXPECT_FALSE(ReleaseMutex(shared.mutex)) << "released as often as it was taken";

        // A thread that ends holding it leaves it abandoned.
        t = CreateThread(
            nullptr, 0,
            [](LPVOID p) WINAPI -> DWORD { return WaitForSingleObject(static_cast<Shared*>(p)->mutex, INFINITE); }, &shared,
            0, nullptr);
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        HANDLE both[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), shared.mutex};
        EXPECT_EQ(WaitForMultipleObjectsEx(2, both, FALSE, INFINITE, FALSE), DWORD(WAIT_ABANDONED_0 + 1));
        EXPECT_TRUE(ReleaseMutex(shared.mutex)) << "the abandoned mutex now belongs to the waiter";
        EXPECT_EQ(WaitForSingleObject(shared.mutex, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(shared.mutex));
        CloseHandle(both[0]);
        CloseHandle(shared.mutex);
        EXPECT_FALSE(ReleaseMutex(shared.mutex));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    });
}

TEST_F(CommApiTest, TextConvertsThroughTheAnsiCodePageAndUtf8) {
    inProcess([] {
        struct Case {
            UINT codePage;
            const char* bytes;
            std::u16string text;
        };
        const Case cases[] = {
            {CP_ACP, "caf\xE9 \x80 \x9F", u"caf\u00E9 \u20AC \u0178"},
            {1252, "COM3", u"COM3"},
            {CP_UTF8, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", u"caf\u00E9 \u20AC \U0001F600"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.bytes);
            const int bytes = int(std::strlen(c.bytes));
            WCHAR wide[32];
            // The length with the terminating zero, then the text.
            EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes, -1, nullptr, 0), int(c.text.size() + 1));
            ASSERT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes, bytes, wide, 32), int(c.text.size()));
            EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(wide), c.text.size()), c.text);
            char narrow[32];
            BOOL usedDefault = TRUE;
            ASSERT_EQ(WideCharToMultiByte(c.codePage, 0, reinterpret_cast<LPCWSTR>(c.text.c_str()), -1, narrow, 32,
                                          nullptr, c.codePage == CP_UTF8 ? nullptr : &usedDefault),
                      bytes + 1);
            EXPECT_STREQ(narrow, c.bytes);
            if (c.codePage != CP_UTF8)
                EXPECT_FALSE(usedDefault);
            SetLastError(0);
            EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes, bytes, wide, 2), 0);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        }
        EXPECT_EQ(GetACP(), 1252u);

        // Malformed UTF-8 becomes U+FFFD, or fails when asked to.
        WCHAR wide[8];
        ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3(", 2, wide, 8), 2);
        EXPECT_EQ(wide[0], 0xFFFD);
        EXPECT_EQ(wide[1], L'(');
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3(", 2, wide, 8), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xED\xA0\x80", 3, wide, 8), 3) << "an encoded surrogate";
        const WCHAR lone[] = {0xD800, L'x', 0};
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, nullptr, 0, nullptr, nullptr), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, nullptr, 0, nullptr, nullptr), 5);

        // What code page 1252 lacks becomes the default character.
        char narrow[8];
        BOOL usedDefault = FALSE;
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u20AC\u03A9", 2, narrow, 8, nullptr, &usedDefault), 2);
        EXPECT_EQ(std::string(narrow, 2), "\x80?");
        EXPECT_TRUE(usedDefault);
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u03A9", 1, narrow, 8, "#", nullptr), 1);
        EXPECT_EQ(narrow[0], '#');

        // Refused outright.
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"x", 1, narrow, 8, nullptr, &usedDefault), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(MultiByteToWideChar(437, 0, "x", 1, wide, 8), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "x", 1, wide, 8), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "x", 0, wide, 8), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    });
}

TEST_F(CommApiTest, DefaultCommConfigComesFromThePortsSettings) {
    machine->registry().setString(u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
                                  u"COM9:", u"19200,e,7,2");
    inProcess([&] {
        COMMCONFIG config;
        DWORD size = 4;
        EXPECT_FALSE(GetDefaultCommConfigA("COM9", &config, &size));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(size, DWORD(sizeof(COMMCONFIG)));
        ASSERT_TRUE(GetDefaultCommConfigW(L"COM9", &config, &size));
        EXPECT_EQ(config.dwSize, DWORD(sizeof(COMMCONFIG)));
        EXPECT_EQ(config.dwProviderSubType, DWORD(PST_RS232));
        EXPECT_EQ(config.dcb.DCBlength, DWORD(sizeof(DCB)));
        EXPECT_EQ(config.dcb.BaudRate, 19200u);
        EXPECT_EQ(config.dcb.Parity, EVENPARITY);
        EXPECT_EQ(config.dcb.ByteSize, 7);
        EXPECT_EQ(config.dcb.StopBits, TWOSTOPBITS);
        EXPECT_EQ(config.dcb.fBinary, 1u);
        EXPECT_EQ(config.dcb.XonChar, 0x11);

        EXPECT_FALSE(GetDefaultCommConfigA("COM42", &config, &size));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        machine->registry().deleteValue(
            u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", u"COM9:");
        ASSERT_TRUE(GetDefaultCommConfigA("COM9:", &config, &size));
        EXPECT_EQ(config.dcb.BaudRate, 9600u);
        EXPECT_EQ(config.dcb.ByteSize, 8);
        EXPECT_EQ(config.dcb.Parity, NOPARITY);

        // The open port's configuration is its comm state.
        HANDLE h = open();
        port->clear();
        ASSERT_TRUE(GetCommConfig(h, &config, &size));
        EXPECT_EQ(port->controls(), kGetState);
        config.dcb.BaudRate = 57600;
        EXPECT_TRUE(SetCommConfig(h, &config, size));
        EXPECT_EQ(decode<uint32_t>(lastControl(nt::kSetBaudRate)), 57600u);
        CloseHandle(h);
    });
}

TEST_F(CommApiTest, DeviceCallsLeaveTheLastErrorAndReportWhatCameBack) {
    inProcess([&] {
        HANDLE h = open();
        char buffer[8];
        DWORD n = 0;
        port->answerReads("ab", 0);
        SetLastError(99);
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_TRUE(WriteFile(h, "xy", 2, &n, nullptr));
        DWORD modem = 0, returned = 77;
        EXPECT_TRUE(DeviceIoControl(h, nt::kGetModemStatus, nullptr, 0, &modem, sizeof modem, &returned, nullptr));
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(GetLastError(), 99u) << "success leaves the last error alone";
        // A failed control says that nothing came back.
        port->failNext(nt::kGetModemStatus, kNotConnected);
        returned = 77;
        EXPECT_FALSE(DeviceIoControl(h, nt::kGetModemStatus, nullptr, 0, &modem, sizeof modem, &returned, nullptr));
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
        CloseHandle(h);

        // A handle opened for overlapped I/O needs an OVERLAPPED to read or
        // write; the request never reaches the device.
        h = open(FILE_FLAG_OVERLAPPED);
        port->clear();
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(WriteFile(h, "xy", 2, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(port->requests().empty());
        // One that completes at once leaves the last error too.
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetLastError(98);
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(GetLastError(), 98u);
        CloseHandle(ov.hEvent);
        CloseHandle(h);
    });
}

} // namespace
} // namespace ztest

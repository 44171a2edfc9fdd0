// The rig of the Win32 API tests: a machine with the Win32 subsystem and a
// serial test device named COM9 that records the requests it gets and
// answers them as scripted, and a 64-bit process to call the API from.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/nt/machine.h"
#include "host/win32/system.h"
#include "serial_test_device.h"
#include "tests/support/machine_fixture.h"

namespace ztest {

namespace nt = host::win32::nt;
inline constexpr int32_t kCancelled = int32_t(0xC0000120), kInvalidParameter = int32_t(0xC000000D),
                  kNotImplemented = int32_t(0xC0000002), kBufferTooSmall = int32_t(0xC0000023),
                  kDeletePending = int32_t(0xC0000056), kNotConnected = int32_t(0xC000009D),
                  kInvalidBufferSize = int32_t(0xC0000206), kIoTimeout = int32_t(0xC00000B5);

// GetCommState's four requests, in kernel32's order.
inline const std::vector<uint32_t> kGetState = {nt::kGetBaudRate, nt::kGetLineControl, nt::kGetChars,
                                                nt::kGetHandflow};

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

} // namespace ztest

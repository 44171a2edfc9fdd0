// Device-control tests: a started 2-port controller, and device controls
// sent to UART 0's port as the I/O manager builds them for a buffered
// control (IoBuildDeviceIoControlRequest: one system buffer for input and
// output, Information bytes copied back to the caller's output buffer).
// No handle is needed: the dispatcher does not look at the file object.
#pragma once

#include "port_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace ztest {

struct ControlResult {
    NTSTATUS status;
    ULONG_PTR information;
};

class ControlTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        plugController(zmodel::Variant::Ports2);
        ASSERT_NE(port(0), nullptr);
        ASSERT_EQ(ReadSharedLong(&port(0)->DeviceState), PortStateStarted);
    }

    PDEVICE_EXTENSION p() { return port(0); }
    zmodel::Uart& uart() { return controller().uart(0); }
    UCHAR reg(USHORT address) { return uart().peekRegister(address); }

    // A register write through the driver's own access routine.
    void poke(USHORT address, UCHAR value)
    {
        auto write = DRIVER_ROUTINE(WriteRegister);
        ASSERT_EQ(write(p(), address, 1, &value), STATUS_SUCCESS);
    }

    // Register requests on UART 0's default pipe fail from now on, `count` times
    // (each access is tried 20 times before it fails).
    void failRegisterAccesses(int count) { hub().failNextOnPipe(hubPort(0), 0, count, USBD_STATUS_STALL_PID); }

    ControlResult control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        PIRP irp = IoBuildDeviceIoControlRequest(code, p()->DeviceObject, const_cast<void*>(input), inputLength,
                                                 output, outputLength, FALSE, &done, &iosb);
        EXPECT_NE(irp, nullptr);
        if (IoCallDriver(p()->DeviceObject, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return {iosb.Status, iosb.Information};
    }
    ControlResult control(ULONG code) { return control(code, nullptr, 0, nullptr, 0); }

    template <class T>
    ControlResult setValue(ULONG code, const T& value)
    {
        return control(code, &value, sizeof(T), nullptr, 0);
    }
    template <class T>
    ControlResult getValue(ULONG code, T* value)
    {
        return control(code, nullptr, 0, value, sizeof(T));
    }

    SERIAL_HANDFLOW handFlow()
    {
        SERIAL_HANDFLOW h{};
        EXPECT_EQ(getValue(IOCTL_SERIAL_GET_HANDFLOW, &h).status, STATUS_SUCCESS);
        return h;
    }
    NTSTATUS setHandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = 100, LONG xoffLimit = 300)
    {
        SERIAL_HANDFLOW h{controlHandShake, flowReplace, xonLimit, xoffLimit};
        return setValue(IOCTL_SERIAL_SET_HANDFLOW, h).status;
    }

    // The lines the port's trace ring holds (TraceEnable must be set).
    std::vector<std::string> traceLines()
    {
        std::vector<std::string> lines;
        for (ULONG i = p()->TraceReadIndex; i != p()->TraceWriteIndex; i = (i + 1) % TRACE_RING_SLOTS)
            lines.emplace_back(p()->TraceRing[i]);
        return lines;
    }
};

} // namespace ztest

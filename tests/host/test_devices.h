// Device objects for I/O tests: each test device runs a handler the test
// gives it for every request, on a host-owned driver object.
#pragma once

#include <wdm.h>

#include <functional>

#include "host/nt/machine.h"
#include "host/nt/pnp.h"

namespace ztest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDeviceExtension {
    Handler* handler;
    PDEVICE_OBJECT lower;
};

inline NTSTATUS NTAPI testDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<TestDeviceExtension*>(device->DeviceExtension);
    return (*ext->handler)(device, irp);
}

inline PDRIVER_OBJECT testDriver(host::Machine& m) {
    PDRIVER_OBJECT drv = m.pnp().busDriver(u"ztest");
    for (auto& f : drv->MajorFunction)
        f = testDispatch;
    return drv;
}

// A device running `handler`, named when `name` is given, attached on top of
// `below` when that is given.
inline PDEVICE_OBJECT makeDevice(host::Machine& m, Handler* handler, const wchar_t* name = nullptr,
                                 PDEVICE_OBJECT below = nullptr, ULONG flags = 0) {
    UNICODE_STRING us;
    if (name)
        RtlInitUnicodeString(&us, name);
    PDEVICE_OBJECT dev = nullptr;
    NTSTATUS s = IoCreateDevice(testDriver(m), sizeof(TestDeviceExtension), name ? &us : nullptr,
                                FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    if (!NT_SUCCESS(s))
        return nullptr;
    auto* ext = static_cast<TestDeviceExtension*>(dev->DeviceExtension);
    ext->handler = handler;
    ext->lower = below ? IoAttachDeviceToDeviceStack(dev, below) : nullptr;
    dev->Flags |= flags;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return dev;
}

inline void deleteDevice(PDEVICE_OBJECT dev) {
    auto* ext = static_cast<TestDeviceExtension*>(dev->DeviceExtension);
    if (ext->lower)
        IoDetachDevice(ext->lower);
    IoDeleteDevice(dev);
}

inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace ztest

// The KMDF 1.9 framework on the host: the loader's version-bind routine and
// the framework functions the enumerator calls, built on host/nt and host/usb.
//
// Objects are C++ records whose address is the handle. A device is a WDM FDO
// (no name, buffered I/O) attached to its PDO; the framework owns its
// dispatch table and turns PnP, create/close and device-control requests
// into the driver's callbacks in the KMDF order: EvtDevicePrepareHardware,
// EvtDeviceD0Entry(previous state) at start, EvtDeviceD0Exit(target state)
// at stop, surprise removal and removal (D3Final), then the context cleanup.
#include "kmdf.h"

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/nt/kernel.h"
#include "host/nt/machine.h"
#include "kmdf_power.h"

namespace host::kmdf {
namespace {

constexpr NTSTATUS kStatusRevisionMismatch = (NTSTATUS)0xC0000059;

void report(const std::string& what) {
    machineOf("KMDF").verifier().report("KMDF: " + what);
}

enum class FxType { Driver, Device, Queue, Request, File, Key, UsbDevice };

struct FxDriver;
struct FxDevice;

struct FxGlobals {
    WDF_DRIVER_GLOBALS pub{};   // first: the driver's PWDF_DRIVER_GLOBALS points here
    uint32_t signature = 0;
    PDRIVER_OBJECT wdm = nullptr;
    FxDriver* driver = nullptr;
};

struct FxObject {
    explicit FxObject(FxType t) : type(t) {}
    virtual ~FxObject() = default;
    FxType type;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    std::vector<uint8_t> context;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;

    void applyAttributes(PWDF_OBJECT_ATTRIBUTES a) {
        if (!a)
            return;
        if (a->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
            report("WDF_OBJECT_ATTRIBUTES of size " + std::to_string(a->Size));
        cleanup = a->EvtCleanupCallback;
        destroy = a->EvtDestroyCallback;
        if (a->ContextTypeInfo) {
            contextType = a->ContextTypeInfo->UniqueType ? a->ContextTypeInfo->UniqueType : a->ContextTypeInfo;
            size_t size = a->ContextSizeOverride > contextType->ContextSize ? a->ContextSizeOverride
                                                                             : contextType->ContextSize;
            context.assign(size, 0);   // the framework zero-fills contexts
        }
    }
    // Cleanup, then destroy: the context is still valid in both.
    void dispose() {
        if (cleanup)
            cleanup(this);
        if (destroy)
            destroy(this);
    }
};

template <class T> T* as(void* handle, FxType type, const char* call) {
    auto* o = static_cast<FxObject*>(handle);
    if (!o || o->type != type) {
        report(std::string(call) + " called with a handle of the wrong type");
        return nullptr;
    }
    return static_cast<T*>(o);
}

struct FxDriver : FxObject {
    FxDriver() : FxObject(FxType::Driver) {}
    FxGlobals* globals = nullptr;
    WDF_DRIVER_CONFIG config{};
    std::u16string registryPath;   // zero-terminated through c_str()
};

struct FxQueue : FxObject {
    FxQueue() : FxObject(FxType::Queue) {}
    FxDevice* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
};

struct FxFile : FxObject {
    FxFile() : FxObject(FxType::File) {}
    FxDevice* device = nullptr;
    PFILE_OBJECT wdm = nullptr;
};

struct FxRequest : FxObject {
    FxRequest() : FxObject(FxType::Request) {}
    FxDevice* device = nullptr;
    PIRP irp = nullptr;
    FxFile* createdFile = nullptr;   // a create request's new file object
};

struct FxKey : FxObject {
    FxKey() : FxObject(FxType::Key) {}
    HANDLE handle = nullptr;
};

struct FxUsbDevice : FxObject {
    FxUsbDevice() : FxObject(FxType::UsbDevice) {}
    FxDevice* device = nullptr;
    USB_DEVICE_DESCRIPTOR descriptor{};
};

struct WdfDeviceInitRecord {
    FxDriver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FILEOBJECT_CONFIG file{};
    bool hasFile = false;
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    FxDevice* created = nullptr;
};

struct FxDevice : FxObject {
    FxDevice() : FxObject(FxType::Device) {}
    FxDriver* driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FILEOBJECT_CONFIG file{};
    bool hasFile = false;
    FxQueue* defaultQueue = nullptr;
    std::vector<FxQueue*> queues;
    std::vector<FxUsbDevice*> usbDevices;
    std::vector<std::u16string> links;
    std::vector<UNICODE_STRING> interfaces;
    std::mutex filesMutex;
    std::map<PFILE_OBJECT, FxFile*> files;
    KMUTEX powerLock{};
    std::atomic<bool> started{false};
    std::atomic<bool> removed{false};
    std::atomic<int> power{WdfPowerDeviceD3Final};
    std::atomic<LONG> powerReferences{0};
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle{};
    WDF_DEVICE_PNP_CAPABILITIES caps{};
    std::unique_ptr<FxPowerPolicy> policy;   // device power IRPs, sleep and wake (kmdf_power.cpp)
};

// The framework's record of a bound driver hangs off its driver object (the
// loader's field of it), so no state outlives the machine that owns the object.
constexpr uint32_t kGlobalsSignature = 0x4B4D4446;   // "FDMK"

FxGlobals* globalsOf(PDRIVER_OBJECT drv) {
    auto* g = drv ? static_cast<FxGlobals*>(drv->DriverSection) : nullptr;
    return g && g->signature == kGlobalsSignature ? g : nullptr;
}

FxDevice* fromFdo(PDEVICE_OBJECT fdo) {
    if (!fdo || !fdo->DriverObject || !globalsOf(fdo->DriverObject) || !fdo->DeviceExtension)
        return nullptr;
    return *static_cast<FxDevice**>(fdo->DeviceExtension);
}

// ---- power and PnP ---------------------------------------------------------

struct PowerLock {
    explicit PowerLock(FxDevice* d) : d_(d) {
        KeWaitForSingleObject(&d_->powerLock, Executive, KernelMode, FALSE, nullptr);
    }
    ~PowerLock() { KeReleaseMutex(&d_->powerLock, FALSE); }
    FxDevice* d_;
};

NTSTATUS enterD0(FxDevice* d, WDF_POWER_DEVICE_STATE previous) {
    NTSTATUS status = STATUS_SUCCESS;
    if (d->pnp.EvtDeviceD0Entry)
        status = d->pnp.EvtDeviceD0Entry((WDFDEVICE)d, previous);
    if (NT_SUCCESS(status))
        d->power = WdfPowerDeviceD0;
    return status;
}

void leaveD0(FxDevice* d, WDF_POWER_DEVICE_STATE target) {
    if (d->power != WdfPowerDeviceD0) {
        d->power = target == WdfPowerDeviceD3Final ? WdfPowerDeviceD3Final : d->power.load();
        return;
    }
    if (d->pnp.EvtDeviceD0Exit)
        (void)d->pnp.EvtDeviceD0Exit((WDFDEVICE)d, target);
    d->power = target;
}

// Leaves the working state for good (stop, surprise removal, removal).
void stopHardware(FxDevice* d) {
    PowerLock lock(d);
    if (!d->started)
        return;
    leaveD0(d, WdfPowerDeviceD3Final);
    if (d->pnp.EvtDeviceReleaseHardware)
        (void)d->pnp.EvtDeviceReleaseHardware((WDFDEVICE)d, nullptr);
    d->started = false;
}

void setInterfaces(FxDevice* d, bool enable) {
    for (auto& name : d->interfaces)
        (void)IoSetDeviceInterfaceState(&name, enable);
}

NTSTATUS onForwardDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS forwardAndWait(FxDevice* d, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, onForwardDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(d->lower, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS passDown(FxDevice* d, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d->lower, irp);
}

void deleteDevice(FxDevice* d) {
    // Children first (their cleanup may use the device), then the device's
    // own cleanup while its context is valid, then the WDM object.
    {
        std::lock_guard g(d->filesMutex);
        for (auto& [fo, f] : d->files) {
            f->dispose();
            delete f;
        }
        d->files.clear();
    }
    for (auto* q : d->queues) {
        q->dispose();
        delete q;
    }
    d->queues.clear();
    d->defaultQueue = nullptr;
    for (auto* u : d->usbDevices) {
        u->dispose();
        delete u;
    }
    d->usbDevices.clear();
    d->dispose();
    for (auto& name : d->interfaces)
        RtlFreeUnicodeString(&name);
    d->interfaces.clear();
    PDEVICE_OBJECT fdo = d->fdo;
    if (d->lower)
        IoDetachDevice(d->lower);
    delete d;
    IoDeleteDevice(fdo);
}

void deleteLinks(FxDevice* d) {
    for (auto& link : d->links) {
        UNICODE_STRING name{USHORT(link.size() * 2), USHORT(link.size() * 2), (PWSTR)link.data()};
        (void)IoDeleteSymbolicLink(&name);
    }
    d->links.clear();
}

NTSTATUS dispatchPnp(FxDevice* d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = forwardAndWait(d, irp);
        if (NT_SUCCESS(status)) {
            PowerLock lock(d);
            if (d->pnp.EvtDevicePrepareHardware)
                status = d->pnp.EvtDevicePrepareHardware((WDFDEVICE)d, nullptr, nullptr);
            if (NT_SUCCESS(status)) {
                d->started = true;
                setInterfaces(d, true);
                status = enterD0(d, WdfPowerDeviceD3Final);
                if (!NT_SUCCESS(status)) {
                    if (d->pnp.EvtDeviceReleaseHardware)
                        (void)d->pnp.EvtDeviceReleaseHardware((WDFDEVICE)d, nullptr);
                    d->started = false;
                }
            }
        }
        return completeIrp(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = forwardAndWait(d, irp);
        if (NT_SUCCESS(status) && d->caps.Size != 0) {
            PDEVICE_CAPABILITIES c = stack->Parameters.DeviceCapabilities.Capabilities;
            auto apply = [](WDF_TRI_STATE s, auto setter) {
                if (s != WdfUseDefault)
                    setter(s == WdfTrue);
            };
            apply(d->caps.SurpriseRemovalOK, [&](bool v) { c->SurpriseRemovalOK = v; });
            apply(d->caps.Removable, [&](bool v) { c->Removable = v; });
            apply(d->caps.LockSupported, [&](bool v) { c->LockSupported = v; });
            apply(d->caps.EjectSupported, [&](bool v) { c->EjectSupported = v; });
            apply(d->caps.UniqueID, [&](bool v) { c->UniqueID = v; });
            apply(d->caps.SilentInstall, [&](bool v) { c->SilentInstall = v; });
            if (d->caps.Address != (ULONG)-1)
                c->Address = d->caps.Address;
            if (d->caps.UINumber != (ULONG)-1)
                c->UINumber = d->caps.UINumber;
        }
        return completeIrp(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(d, irp);
    case IRP_MN_STOP_DEVICE:
        stopHardware(d);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(d, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        d->policy->purge(STATUS_DELETE_PENDING);
        stopHardware(d);
        setInterfaces(d, false);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(d, irp);
    case IRP_MN_REMOVE_DEVICE: {
        d->policy->purge(STATUS_DELETE_PENDING);
        stopHardware(d);
        setInterfaces(d, false);
        deleteLinks(d);
        d->removed = true;
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = passDown(d, irp);
        deleteDevice(d);
        return status;
    }
    default:
        return passDown(d, irp);
    }
}

// Brings an idle device back to D0 before a power-managed queue presents a request.
void powerUpForIo(FxDevice* d) {
    if (d->power != WdfPowerDeviceD0 && d->started)
        (void)d->policy->setDevicePower(WdfPowerDeviceD0);
}

// Hands a device control to the default queue's callback.
NTSTATUS presentDeviceControl(FxDevice* d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FxQueue* q = d->defaultQueue;
    auto* request = new FxRequest;
    request->device = d;
    request->irp = irp;
    IoMarkIrpPending(irp);
    q->config.EvtIoDeviceControl((WDFQUEUE)q, (WDFREQUEST)request,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength,
                                 stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.IoControlCode);
    return STATUS_PENDING;
}

NTSTATUS dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    FxDevice* d = fromFdo(fdo);
    if (!d)
        return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return dispatchPnp(d, irp);
    case IRP_MJ_POWER:
        return d->policy->dispatch(irp);
    case IRP_MJ_CREATE: {
        if (d->removed)
            return completeIrp(irp, STATUS_DELETE_PENDING);
        auto* file = new FxFile;
        file->device = d;
        file->wdm = stack->FileObject;
        {
            std::lock_guard g(d->filesMutex);
            d->files[stack->FileObject] = file;
        }
        if (!d->hasFile || !d->file.EvtDeviceFileCreate)
            return completeIrp(irp, STATUS_SUCCESS);
        auto* request = new FxRequest;
        request->device = d;
        request->irp = irp;
        request->createdFile = file;
        IoMarkIrpPending(irp);
        d->file.EvtDeviceFileCreate((WDFDEVICE)d, (WDFREQUEST)request, (WDFFILEOBJECT)file);
        return STATUS_PENDING;
    }
    case IRP_MJ_CLEANUP: {
        FxFile* file = nullptr;
        {
            std::lock_guard g(d->filesMutex);
            auto it = d->files.find(stack->FileObject);
            if (it != d->files.end())
                file = it->second;
        }
        if (file && d->hasFile && d->file.EvtFileCleanup)
            d->file.EvtFileCleanup((WDFFILEOBJECT)file);
        return completeIrp(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE: {
        FxFile* file = nullptr;
        {
            std::lock_guard g(d->filesMutex);
            auto it = d->files.find(stack->FileObject);
            if (it != d->files.end()) {
                file = it->second;
                d->files.erase(it);
            }
        }
        if (file) {
            if (d->hasFile && d->file.EvtFileClose)
                d->file.EvtFileClose((WDFFILEOBJECT)file);
            file->dispose();
            delete file;
        }
        return completeIrp(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_DEVICE_CONTROL: {
        FxQueue* q = d->defaultQueue;
        if (!q || !q->config.EvtIoDeviceControl)
            return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
        if (!d->started || d->removed)
            return completeIrp(irp, STATUS_INVALID_DEVICE_STATE);
        if (q->config.PowerManaged != WdfFalse) {
            if (!d->policy->admit(irp))
                return STATUS_PENDING;   // held until the machine wakes
            powerUpForIo(d);
        }
        return presentDeviceControl(d, irp);
    }
    default:
        return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS addDevice(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo) {
    FxGlobals* g = globalsOf(drv);
    if (!g || !g->driver)
        return STATUS_UNSUCCESSFUL;
    WdfDeviceInitRecord init;
    init.driver = g->driver;
    init.pdo = pdo;
    PWDFDEVICE_INIT handle = reinterpret_cast<PWDFDEVICE_INIT>(&init);
    NTSTATUS status = g->driver->config.EvtDriverDeviceAdd((WDFDRIVER)g->driver, handle);
    if (!NT_SUCCESS(status)) {
        if (init.created) {
            deleteLinks(init.created);
            deleteDevice(init.created);
        }
        return status;
    }
    if (!init.created) {
        report("EvtDriverDeviceAdd succeeded without a device");
        return STATUS_UNSUCCESSFUL;
    }
    init.created->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

void driverUnload(PDRIVER_OBJECT drv) {
    FxGlobals* g = globalsOf(drv);
    if (!g || !g->driver)
        return;
    FxDriver* driver = g->driver;
    if (driver->config.EvtDriverUnload)
        driver->config.EvtDriverUnload((WDFDRIVER)driver);
    driver->dispose();
    g->driver = nullptr;
    g->pub.Driver = nullptr;
    delete driver;
}

// ---- table functions -------------------------------------------------------

FxGlobals* fx(PWDF_DRIVER_GLOBALS g) { return reinterpret_cast<FxGlobals*>(g); }

NTSTATUS WdfDriverCreateImpl(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT drv, PCUNICODE_STRING path,
                             PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* out) {
    FxGlobals* g = fx(globals);
    if (!config || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        report("WdfDriverCreate: WDF_DRIVER_CONFIG of the wrong size");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (g->driver)
        return STATUS_DRIVER_INTERNAL_ERROR;
    auto* driver = new FxDriver;
    driver->globals = g;
    driver->config = *config;
    driver->applyAttributes(attributes);
    driver->registryPath.assign((const char16_t*)path->Buffer, path->Length / 2);
    g->driver = driver;
    g->pub.Driver = (WDFDRIVER)driver;
    g->pub.DriverTag = config->DriverPoolTag;
    for (auto& f : drv->MajorFunction)
        f = dispatch;
    drv->DriverExtension->AddDevice = addDevice;
    drv->DriverUnload = driverUnload;
    g->pub.DisplaceDriverUnload = TRUE;
    if (out)
        *out = (WDFDRIVER)driver;
    return STATUS_SUCCESS;
}

PWSTR WdfDriverGetRegistryPathImpl(PWDF_DRIVER_GLOBALS, WDFDRIVER driver) {
    auto* d = as<FxDriver>(driver, FxType::Driver, "WdfDriverGetRegistryPath");
    return d ? (PWSTR)d->registryPath.c_str() : nullptr;
}

WdfDeviceInitRecord* initOf(PWDFDEVICE_INIT init) { return reinterpret_cast<WdfDeviceInitRecord*>(init); }

VOID WdfDeviceInitSetPnpPowerEventCallbacksImpl(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init,
                                                PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    if (callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS))
        report("WdfDeviceInitSetPnpPowerEventCallbacks: structure of size " + std::to_string(callbacks->Size));
    initOf(init)->pnp = *callbacks;
}

VOID WdfDeviceInitSetIoTypeImpl(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init, WDF_DEVICE_IO_TYPE type) {
    initOf(init)->ioType = type;
}

VOID WdfDeviceInitSetFileObjectConfigImpl(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init, PWDF_FILEOBJECT_CONFIG config,
                                          PWDF_OBJECT_ATTRIBUTES) {
    if (config->Size != sizeof(WDF_FILEOBJECT_CONFIG))
        report("WdfDeviceInitSetFileObjectConfig: structure of size " + std::to_string(config->Size));
    initOf(init)->file = *config;
    initOf(init)->hasFile = true;
}

NTSTATUS WdfDeviceCreateImpl(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT* initPtr, PWDF_OBJECT_ATTRIBUTES attributes,
                             WDFDEVICE* out) {
    WdfDeviceInitRecord* init = initOf(*initPtr);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(init->driver->globals->wdm, sizeof(FxDevice*), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                     &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* d = new FxDevice;
    d->driver = init->driver;
    d->fdo = fdo;
    d->pdo = init->pdo;
    d->pnp = init->pnp;
    d->file = init->file;
    d->hasFile = init->hasFile;
    d->applyAttributes(attributes);
    KeInitializeMutex(&d->powerLock, 0);
    FxPowerPolicy::Hooks hooks;
    hooks.enterD0 = [d](WDF_POWER_DEVICE_STATE previous) {
        PowerLock lock(d);
        return enterD0(d, previous);
    };
    hooks.leaveD0 = [d](WDF_POWER_DEVICE_STATE target) {
        PowerLock lock(d);
        leaveD0(d, target);
    };
    hooks.state = [d] { return (WDF_POWER_DEVICE_STATE)d->power.load(); };
    hooks.started = [d] { return d->started.load(); };
    hooks.powerUpOnSystemWake = [d] { return d->idle.Size != 0 && d->idle.PowerUpIdleDeviceOnSystemWake == WdfTrue; };
    hooks.present = [d](PIRP irp) { (void)presentDeviceControl(d, irp); };
    d->policy = std::make_unique<FxPowerPolicy>(fdo, std::move(hooks));
    *static_cast<FxDevice**>(fdo->DeviceExtension) = d;
    d->lower = IoAttachDeviceToDeviceStack(fdo, init->pdo);
    if (!d->lower) {
        delete d;
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    d->policy->attach(d->lower, init->pdo);
    if (init->ioType == WdfDeviceIoBuffered || init->ioType == WdfDeviceIoUndefined)
        fdo->Flags |= DO_BUFFERED_IO;
    else if (init->ioType == WdfDeviceIoDirect)
        fdo->Flags |= DO_DIRECT_IO;
    fdo->Flags |= DO_POWER_PAGABLE;
    init->created = d;
    *initPtr = nullptr;   // the framework owns the init structure now
    *out = (WDFDEVICE)d;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterfaceImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, const GUID* guid,
                                            PCUNICODE_STRING reference) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceCreateDeviceInterface");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    UNICODE_STRING name{};
    NTSTATUS status = IoRegisterDeviceInterface(d->pdo, guid, (PUNICODE_STRING)reference, &name);
    if (NT_SUCCESS(status)) {
        d->interfaces.push_back(name);
        if (d->started)
            (void)IoSetDeviceInterfaceState(&d->interfaces.back(), TRUE);
    }
    return status;
}

NTSTATUS WdfDeviceCreateSymbolicLinkImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PCUNICODE_STRING link) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceCreateSymbolicLink");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    // An unnamed FDO's link names its PDO, as the framework does.
    WCHAR pdoName[256];
    ULONG length = 0;
    NTSTATUS status =
        IoGetDeviceProperty(d->pdo, DevicePropertyPhysicalDeviceObjectName, sizeof(pdoName), pdoName, &length);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, pdoName);
    status = IoCreateSymbolicLink((PUNICODE_STRING)link, &target);
    if (NT_SUCCESS(status))
        d->links.emplace_back((const char16_t*)link->Buffer, link->Length / 2);
    return status;
}

NTSTATUS WdfDeviceOpenRegistryKeyImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, ULONG type, ACCESS_MASK access,
                                      PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* out) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceOpenRegistryKey");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    HANDLE h = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(d->pdo, type, access, &h);
    if (!NT_SUCCESS(status))
        return status;
    auto* key = new FxKey;
    key->handle = h;
    key->applyAttributes(attributes);
    *out = (WDFKEY)key;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceAssignS0IdleSettingsImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device,
                                           PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceAssignS0IdleSettings");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (settings->IdleCaps == IdleCapsInvalid || settings->IdleCaps > IdleUsbSelectiveSuspend)
        return STATUS_INVALID_PARAMETER;
    d->idle = *settings;
    return STATUS_SUCCESS;
}

VOID WdfDeviceSetPnpCapabilitiesImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES caps) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceSetPnpCapabilities");
    if (!d)
        return;
    if (caps->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES))
        report("WdfDeviceSetPnpCapabilities: structure of size " + std::to_string(caps->Size));
    d->caps = *caps;
}

NTSTATUS WdfDeviceStopIdleImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, BOOLEAN waitForD0) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceStopIdle");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    d->powerReferences.fetch_add(1);
    if (waitForD0)
        powerUpForIo(d);
    return STATUS_SUCCESS;
}

VOID WdfDeviceResumeIdleImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfDeviceResumeIdle");
    if (!d)
        return;
    if (d->powerReferences.fetch_sub(1) <= 0) {
        d->powerReferences.fetch_add(1);
        report("WdfDeviceResumeIdle without a matching WdfDeviceStopIdle");
    }
}

WDFDEVICE WdfFileObjectGetDeviceImpl(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT file) {
    auto* f = as<FxFile>(file, FxType::File, "WdfFileObjectGetDevice");
    return f ? (WDFDEVICE)f->device : nullptr;
}

NTSTATUS WdfIoQueueCreateImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config,
                              PWDF_OBJECT_ATTRIBUTES attributes, WDFQUEUE* out) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfIoQueueCreate");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        report("WdfIoQueueCreate: WDF_IO_QUEUE_CONFIG of size " + std::to_string(config->Size));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (config->DefaultQueue && d->defaultQueue)
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* q = new FxQueue;
    q->device = d;
    q->config = *config;
    q->applyAttributes(attributes);
    d->queues.push_back(q);
    if (config->DefaultQueue)
        d->defaultQueue = q;
    if (out)
        *out = (WDFQUEUE)q;
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDeviceImpl(PWDF_DRIVER_GLOBALS, WDFQUEUE queue) {
    auto* q = as<FxQueue>(queue, FxType::Queue, "WdfIoQueueGetDevice");
    return q ? (WDFDEVICE)q->device : nullptr;
}

PVOID WdfObjectGetTypedContextWorkerImpl(PWDF_DRIVER_GLOBALS, WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    auto* o = static_cast<FxObject*>(handle);
    if (!o || !o->contextType || o->context.empty())
        return nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = type && type->UniqueType ? type->UniqueType : type;
    return o->contextType == unique ? o->context.data() : nullptr;
}

VOID WdfObjectDeleteImpl(PWDF_DRIVER_GLOBALS, WDFOBJECT handle) {
    auto* o = static_cast<FxObject*>(handle);
    if (o && o->type == FxType::Key) {
        auto* k = static_cast<FxKey*>(o);
        ZwClose(k->handle);
        k->dispose();
        delete k;
        return;
    }
    report("WdfObjectDelete of an object the driver may not delete here");
}

VOID WdfRegistryCloseImpl(PWDF_DRIVER_GLOBALS, WDFKEY key) {
    auto* k = as<FxKey>(key, FxType::Key, "WdfRegistryClose");
    if (!k)
        return;
    ZwClose(k->handle);
    k->dispose();
    delete k;
}

NTSTATUS WdfRegistryQueryULongImpl(PWDF_DRIVER_GLOBALS, WDFKEY key, PCUNICODE_STRING name, PULONG value) {
    auto* k = as<FxKey>(key, FxType::Key, "WdfRegistryQueryULong");
    if (!k)
        return STATUS_INVALID_PARAMETER;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG size = 0;
    NTSTATUS status =
        ZwQueryValueKey(k->handle, (PUNICODE_STRING)name, KeyValuePartialInformation, buffer, sizeof(buffer), &size);
    if (status == STATUS_BUFFER_OVERFLOW)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    memcpy(value, info->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULongImpl(PWDF_DRIVER_GLOBALS, WDFKEY key, PCUNICODE_STRING name, ULONG value) {
    auto* k = as<FxKey>(key, FxType::Key, "WdfRegistryAssignULong");
    if (!k)
        return STATUS_INVALID_PARAMETER;
    return ZwSetValueKey(k->handle, (PUNICODE_STRING)name, 0, REG_DWORD, &value, sizeof(value));
}

VOID completeRequest(FxRequest* r, NTSTATUS status, ULONG_PTR information) {
    if (r->createdFile && !NT_SUCCESS(status)) {
        std::lock_guard g(r->device->filesMutex);
        r->device->files.erase(r->createdFile->wdm);
        delete r->createdFile;
    }
    PIRP irp = r->irp;
    delete r;
    completeIrp(irp, status, information);
}

VOID WdfRequestCompleteImpl(PWDF_DRIVER_GLOBALS, WDFREQUEST request, NTSTATUS status) {
    auto* r = as<FxRequest>(request, FxType::Request, "WdfRequestComplete");
    if (r)
        completeRequest(r, status, 0);
}

VOID WdfRequestCompleteWithInformationImpl(PWDF_DRIVER_GLOBALS, WDFREQUEST request, NTSTATUS status,
                                           ULONG_PTR information) {
    auto* r = as<FxRequest>(request, FxType::Request, "WdfRequestCompleteWithInformation");
    if (r)
        completeRequest(r, status, information);
}

NTSTATUS retrieveBuffer(FxRequest* r, bool input, size_t minimum, PVOID* buffer, size_t* length) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(r->irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED)
        return STATUS_INVALID_DEVICE_REQUEST;
    size_t size = input ? stack->Parameters.DeviceIoControl.InputBufferLength
                        : stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID system = r->irp->AssociatedIrp.SystemBuffer;
    if (size == 0 || system == nullptr || size < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    *buffer = system;
    if (length)
        *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveInputBufferImpl(PWDF_DRIVER_GLOBALS, WDFREQUEST request, size_t minimum, PVOID* buffer,
                                           size_t* length) {
    auto* r = as<FxRequest>(request, FxType::Request, "WdfRequestRetrieveInputBuffer");
    return r ? retrieveBuffer(r, true, minimum, buffer, length) : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputBufferImpl(PWDF_DRIVER_GLOBALS, WDFREQUEST request, size_t minimum, PVOID* buffer,
                                            size_t* length) {
    auto* r = as<FxRequest>(request, FxType::Request, "WdfRequestRetrieveOutputBuffer");
    return r ? retrieveBuffer(r, false, minimum, buffer, length) : STATUS_INVALID_PARAMETER;
}

// ---- USB target ------------------------------------------------------------

// Sends an URB down the stack and waits for it, at most `timeout` (100 ns,
// relative, negative; 0 = no limit): a request still held then is cancelled,
// waited for to its end, and reported as STATUS_IO_TIMEOUT.
NTSTATUS submitUrb(FxDevice* d, PURB urb, LONGLONG timeout) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, d->lower, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(d->lower, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER due;
        due.QuadPart = timeout;
        NTSTATUS wait = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, timeout < 0 ? &due : nullptr);
        if (wait == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            return STATUS_IO_TIMEOUT;
        }
        status = iosb.Status;
    }
    return status;
}

NTSTATUS WdfUsbTargetDeviceCreateImpl(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes,
                                      WDFUSBDEVICE* out) {
    auto* d = as<FxDevice>(device, FxType::Device, "WdfUsbTargetDeviceCreate");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    auto* u = new FxUsbDevice;
    u->device = d;
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, &u->descriptor, nullptr, sizeof(u->descriptor), nullptr);
    NTSTATUS status = submitUrb(d, &urb, 0);
    if (!NT_SUCCESS(status)) {
        delete u;
        return status;
    }
    u->applyAttributes(attributes);
    d->usbDevices.push_back(u);
    *out = (WDFUSBDEVICE)u;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSelectConfigImpl(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb, PWDF_OBJECT_ATTRIBUTES,
                                            PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
    auto* u = as<FxUsbDevice>(usb, FxType::UsbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (!u)
        return STATUS_INVALID_PARAMETER;
    if (params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (params->Type != WdfUsbTargetDeviceSelectConfigTypeMultiInterface)
        return STATUS_NOT_SUPPORTED;   // the one kind the enumerator uses
    USB_CONFIGURATION_DESCRIPTOR head{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, nullptr, sizeof(head), nullptr);
    NTSTATUS status = submitUrb(u->device, &urb, 0);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<uint8_t> full(head.wTotalLength < sizeof(head) ? sizeof(head) : head.wTotalLength);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, full.data(), nullptr, ULONG(full.size()),
                                 nullptr);
    status = submitUrb(u->device, &urb, 0);
    if (!NT_SUCCESS(status))
        return status;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (UCHAR n = 0; n < config->bNumInterfaces; ++n) {
        PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1);
        if (!i)
            return STATUS_INVALID_DEVICE_REQUEST;
        list.push_back({i, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB select = USBD_CreateConfigurationRequestEx(config, list.data());
    if (!select)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = submitUrb(u->device, select, 0);
    ExFreePool(select);
    return status;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronouslyImpl(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb,
                                                                WDFREQUEST request,
                                                                PWDF_REQUEST_SEND_OPTIONS options,
                                                                PWDF_USB_CONTROL_SETUP_PACKET setup,
                                                                PWDF_MEMORY_DESCRIPTOR memory, PULONG transferred) {
    auto* u = as<FxUsbDevice>(usb, FxType::UsbDevice, "WdfUsbTargetDeviceSendControlTransferSynchronously");
    if (!u)
        return STATUS_INVALID_PARAMETER;
    if (request)
        return STATUS_NOT_SUPPORTED;   // only the form without a framework request
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        report("WdfUsbTargetDeviceSendControlTransferSynchronously above PASSIVE_LEVEL");
    LONGLONG timeout = 0;
    if (options) {
        if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
            return STATUS_INFO_LENGTH_MISMATCH;
        if (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT)
            timeout = options->Timeout;
    }
    PVOID buffer = nullptr;
    ULONG length = 0;
    if (memory) {
        if (memory->Type != WdfMemoryDescriptorTypeBuffer)
            return STATUS_NOT_SUPPORTED;
        buffer = memory->u.BufferType.Buffer;
        length = memory->u.BufferType.Length;
    }
    USHORT function;
    switch (setup->Packet.bm.Request.Type) {
    case BmRequestVendor: function = URB_FUNCTION_VENDOR_DEVICE; break;
    case BmRequestClass: function = URB_FUNCTION_CLASS_DEVICE; break;
    default: return STATUS_NOT_SUPPORTED;
    }
    if (setup->Packet.bm.Request.Recipient != BmRequestToDevice)
        return STATUS_NOT_SUPPORTED;
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto& r = urb.UrbControlVendorClassRequest;
    r.TransferFlags = setup->Packet.bm.Request.Dir ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                                                   : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBuffer = buffer;
    r.TransferBufferLength = length;
    r.Request = setup->Packet.bRequest;
    r.Value = setup->Packet.wValue.Value;
    r.Index = setup->Packet.wIndex.Value;
    NTSTATUS status = submitUrb(u->device, &urb, timeout);
    if (transferred)
        *transferred = NT_SUCCESS(status) ? r.TransferBufferLength : 0;
    return status;
}

// ---- the function table ----------------------------------------------------

template <int I> NTSTATUS unimplemented() {
    report("function table entry " + std::to_string(I) + " is not implemented on the host");
    return STATUS_NOT_IMPLEMENTED;
}

template <int... I> constexpr auto makeTable(std::integer_sequence<int, I...>) {
    return std::array<WDFFUNC, sizeof...(I)>{reinterpret_cast<WDFFUNC>(&unimplemented<I>)...};
}

struct Table {
    std::array<WDFFUNC, WdfFunctionTableNumEntries> entries = makeTable(
        std::make_integer_sequence<int, WdfFunctionTableNumEntries>{});
    Table() {
        auto set = [&](int index, auto fn) { entries[index] = reinterpret_cast<WDFFUNC>(fn); };
        set(WdfDriverCreateTableIndex, &WdfDriverCreateImpl);
        set(WdfDriverGetRegistryPathTableIndex, &WdfDriverGetRegistryPathImpl);
        set(WdfDeviceInitSetPnpPowerEventCallbacksTableIndex, &WdfDeviceInitSetPnpPowerEventCallbacksImpl);
        set(WdfDeviceInitSetIoTypeTableIndex, &WdfDeviceInitSetIoTypeImpl);
        set(WdfDeviceInitSetFileObjectConfigTableIndex, &WdfDeviceInitSetFileObjectConfigImpl);
        set(WdfDeviceCreateTableIndex, &WdfDeviceCreateImpl);
        set(WdfDeviceCreateDeviceInterfaceTableIndex, &WdfDeviceCreateDeviceInterfaceImpl);
        set(WdfDeviceCreateSymbolicLinkTableIndex, &WdfDeviceCreateSymbolicLinkImpl);
        set(WdfDeviceOpenRegistryKeyTableIndex, &WdfDeviceOpenRegistryKeyImpl);
        set(WdfDeviceAssignS0IdleSettingsTableIndex, &WdfDeviceAssignS0IdleSettingsImpl);
        set(WdfDeviceSetPnpCapabilitiesTableIndex, &WdfDeviceSetPnpCapabilitiesImpl);
        set(WdfDeviceStopIdleTableIndex, &WdfDeviceStopIdleImpl);
        set(WdfDeviceResumeIdleTableIndex, &WdfDeviceResumeIdleImpl);
        set(WdfFileObjectGetDeviceTableIndex, &WdfFileObjectGetDeviceImpl);
        set(WdfIoQueueCreateTableIndex, &WdfIoQueueCreateImpl);
        set(WdfIoQueueGetDeviceTableIndex, &WdfIoQueueGetDeviceImpl);
        set(WdfObjectGetTypedContextWorkerTableIndex, &WdfObjectGetTypedContextWorkerImpl);
        set(WdfObjectDeleteTableIndex, &WdfObjectDeleteImpl);
        set(WdfRegistryCloseTableIndex, &WdfRegistryCloseImpl);
        set(WdfRegistryQueryULongTableIndex, &WdfRegistryQueryULongImpl);
        set(WdfRegistryAssignULongTableIndex, &WdfRegistryAssignULongImpl);
        set(WdfRequestCompleteTableIndex, &WdfRequestCompleteImpl);
        set(WdfRequestCompleteWithInformationTableIndex, &WdfRequestCompleteWithInformationImpl);
        set(WdfRequestRetrieveInputBufferTableIndex, &WdfRequestRetrieveInputBufferImpl);
        set(WdfRequestRetrieveOutputBufferTableIndex, &WdfRequestRetrieveOutputBufferImpl);
        set(WdfUsbTargetDeviceCreateTableIndex, &WdfUsbTargetDeviceCreateImpl);
        set(WdfUsbTargetDeviceSelectConfigTableIndex, &WdfUsbTargetDeviceSelectConfigImpl);
        set(WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex,
            &WdfUsbTargetDeviceSendControlTransferSynchronouslyImpl);
    }
};

Table& table() {
    static Table t;
    return t;
}

FxDevice* started(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d && d->started ? d : nullptr;
}

} // namespace

// ---- host API --------------------------------------------------------------

WDFDEVICE deviceOf(PDEVICE_OBJECT fdo) { return (WDFDEVICE)fromFdo(fdo); }

void* contextOf(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d && !d->context.empty() ? d->context.data() : nullptr;
}

WDF_POWER_DEVICE_STATE powerState(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d ? (WDF_POWER_DEVICE_STATE)d->power.load() : WdfPowerDeviceInvalid;
}

LONG idleReferences(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d ? d->powerReferences.load() : 0;
}

WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d ? d->idle : WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS{};
}

WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities(PDEVICE_OBJECT fdo) {
    FxDevice* d = fromFdo(fdo);
    return d ? d->caps : WDF_DEVICE_PNP_CAPABILITIES{};
}

NTSTATUS powerDown(PDEVICE_OBJECT fdo, WDF_POWER_DEVICE_STATE target) {
    FxDevice* d = started(fdo);
    if (!d || target < WdfPowerDeviceD1 || target > WdfPowerDeviceD3)
        return STATUS_INVALID_DEVICE_STATE;
    return d->policy->setDevicePower(target);
}

NTSTATUS powerUp(PDEVICE_OBJECT fdo) {
    FxDevice* d = started(fdo);
    if (!d)
        return STATUS_INVALID_DEVICE_STATE;
    return d->policy->setDevicePower(WdfPowerDeviceD0);
}

NTSTATUS idle(PDEVICE_OBJECT fdo) {
    FxDevice* d = started(fdo);
    if (!d || d->idle.Size == 0 || d->idle.Enabled == WdfFalse)
        return STATUS_INVALID_DEVICE_STATE;
    if (d->powerReferences.load() > 0)
        return STATUS_DEVICE_BUSY;
    WDF_POWER_DEVICE_STATE target = d->idle.DxState == PowerDeviceD1   ? WdfPowerDeviceD1
                                    : d->idle.DxState == PowerDeviceD2 ? WdfPowerDeviceD2
                                                                       : WdfPowerDeviceD3;
    return powerDown(fdo, target);
}

} // namespace host::kmdf

// ---- the loader ------------------------------------------------------------

using namespace host::kmdf;

extern "C" NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                         PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* ComponentGlobals) {
    if (!DriverObject || !BindInfo || !ComponentGlobals || BindInfo->Size != sizeof(WDF_BIND_INFO) ||
        !BindInfo->FuncTable)
        return STATUS_INVALID_PARAMETER;
    std::u16string component = BindInfo->Component ? std::u16string((const char16_t*)BindInfo->Component) : u"";
    if (component != u"KmdfLibrary" || BindInfo->Version.Major != 1 || BindInfo->Version.Minor > 9 ||
        BindInfo->FuncCount > WdfFunctionTableNumEntries)
        return kStatusRevisionMismatch;
    auto* g = new FxGlobals;
    g->wdm = DriverObject;
    // DriverName: the service name (the registry path's last component).
    std::u16string path = RegistryPath ? std::u16string((const char16_t*)RegistryPath->Buffer,
                                                        RegistryPath->Length / 2)
                                       : u"";
    std::u16string service = path.substr(path.find_last_of(u'\\') + 1);
    for (size_t i = 0; i < service.size() && i + 1 < sizeof(g->pub.DriverName); ++i)
        g->pub.DriverName[i] = char(service[i]);
    g->signature = kGlobalsSignature;
    DriverObject->DriverSection = g;
    *reinterpret_cast<WDFFUNC**>(BindInfo->FuncTable) = table().entries.data();
    *ComponentGlobals = &g->pub;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING, PWDF_BIND_INFO, PWDF_COMPONENT_GLOBALS ComponentGlobals) {
    auto* g = reinterpret_cast<FxGlobals*>(ComponentGlobals);
    if (!g)
        return STATUS_INVALID_PARAMETER;
    if (g->wdm && g->wdm->DriverSection == g)
        g->wdm->DriverSection = nullptr;
    g->signature = 0;
    if (g->driver) {
        g->driver->dispose();
        delete g->driver;
    }
    delete g;
    return STATUS_SUCCESS;
}

// The KMDF 1.9 framework on the host: the loader's version-bind routine and
// the framework functions the enumerator calls, built on host/nt and host/usb.
//
// Objects are C++ records whose address is the handle. Every handle a driver
// passes in is looked up among the objects its binding owns before it is used:
// an object the driver deleted (a completed request, a closed key, a removed
// device) is kept aside for a while, never reused, so that a stale handle is a
// verifier report naming the call, not a use of freed memory. Each call also
// checks the IRQL its documentation allows. A device is a WDM FDO
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
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "host/nt/kernel.h"
#include "host/nt/mm_exports.h"
#include "host/nt/machine.h"
#include "kmdf_power.h"

namespace host::kmdf {
namespace {

constexpr NTSTATUS kStatusRevisionMismatch = (NTSTATUS)0xC0000059;

void report(const std::string& what) {
    machineOf("KMDF").verifier().report("KMDF: " + what);
}

enum class FxType { Driver, Device, Queue, Request, File, Key, UsbDevice };

const char* typeName(FxType t) {
    switch (t) {
    case FxType::Driver: return "WDFDRIVER";
    case FxType::Device: return "WDFDEVICE";
    case FxType::Queue: return "WDFQUEUE";
    case FxType::Request: return "WDFREQUEST";
    case FxType::File: return "WDFFILEOBJECT";
    case FxType::Key: return "WDFKEY";
    case FxType::UsbDevice: return "WDFUSBDEVICE";
    }
    return "handle";
}

// The documented maximum IRQL of a framework call: a call above it is reported
// and does nothing (a status-returning call fails with
// STATUS_INVALID_DEVICE_REQUEST, as the framework's verifier has it).
bool irqlAllowed(const char* call, KIRQL maximum) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql <= maximum)
        return true;
    report(std::string(call) + " called at IRQL " + std::to_string(irql) + ", above its maximum " +
           std::to_string(maximum));
    return false;
}

struct FxDriver;
struct FxDevice;
struct FxObject;

// Deleted objects kept aside (not freed, so never reused) before they go for good.
constexpr size_t kRetiredKept = 1024;

struct FxGlobals {
    WDF_DRIVER_GLOBALS pub{};   // first: the driver's PWDF_DRIVER_GLOBALS points here
    uint32_t signature = 0;
    PDRIVER_OBJECT wdm = nullptr;
    FxDriver* driver = nullptr;
    // The handles of this binding: live objects, and deleted ones still kept.
    std::mutex handlesMutex;
    std::unordered_set<FxObject*> live;
    std::unordered_set<FxObject*> retiredSet;
    std::deque<FxObject*> retired;
};

struct FxObject {
    explicit FxObject(FxType t) : type(t) {}
    virtual ~FxObject() = default;
    FxType type;
    FxGlobals* owner = nullptr;
    const char* fate = nullptr;   // why a retired object went ("completed", "deleted" ...)
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
            callDriver(cleanup, WDFOBJECT(this));
        if (destroy)
            callDriver(destroy, WDFOBJECT(this));
    }
};

FxGlobals* fx(PWDF_DRIVER_GLOBALS g) { return reinterpret_cast<FxGlobals*>(g); }

// A new object's handle becomes valid for its binding's calls.
template <class T> T* adopt(FxGlobals* g, T* o) {
    o->owner = g;
    std::lock_guard lock(g->handlesMutex);
    g->live.insert(o);
    return o;
}

// The object is gone for the driver (its cleanup has run): later calls with
// its handle are reports. It is freed once enough newer objects went.
void retire(FxObject* o, const char* fate) {
    FxGlobals* g = o->owner;
    if (!g) {
        delete o;
        return;
    }
    FxObject* drop = nullptr;
    {
        std::lock_guard lock(g->handlesMutex);
        g->live.erase(o);
        o->fate = fate;
        o->context.clear();
        o->context.shrink_to_fit();
        g->retired.push_back(o);
        g->retiredSet.insert(o);
        if (g->retired.size() > kRetiredKept) {
            drop = g->retired.front();
            g->retired.pop_front();
            g->retiredSet.erase(drop);
        }
    }
    delete drop;
}

// Frees every object of a binding that ends (the driver is unloaded).
void releaseHandles(FxGlobals* g) {
    std::lock_guard lock(g->handlesMutex);
    for (FxObject* o : g->retired)
        delete o;
    g->retired.clear();
    g->retiredSet.clear();
    g->live.clear();
}

// The object behind a handle the driver passed to `call`, checked: a handle
// the framework never gave out, one already deleted or one of another type is
// reported and gives null; the handle's memory is never read before that.
FxObject* lookup(PWDF_DRIVER_GLOBALS globals, void* handle, const char* call) {
    FxGlobals* g = fx(globals);
    if (!handle) {
        report(std::string(call) + " called with a NULL handle");
        return nullptr;
    }
    std::lock_guard lock(g->handlesMutex);
    auto* o = static_cast<FxObject*>(handle);
    if (g->live.count(o))
        return o;
    if (g->retiredSet.count(o)) {
        report(std::string(call) + " called with a " + typeName(o->type) + " that was already " + o->fate);
        return nullptr;
    }
    report(std::string(call) + " called with a handle the framework never gave out (or deleted long ago)");
    return nullptr;
}

template <class T> T* as(PWDF_DRIVER_GLOBALS globals, void* handle, FxType type, const char* call) {
    FxObject* o = lookup(globals, handle, call);
    if (o && o->type != type) {
        report(std::string(call) + " called with a " + typeName(o->type) + " where a " + typeName(type) +
               " belongs");
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
    // Power-ups WdfDeviceStopIdle(FALSE) started and that have not ended yet;
    // the event is set while there are none (removal waits for it).
    std::atomic<LONG> powerUpsPending{0};
    KEVENT noPowerUpPending{};
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
        status = callDriver(d->pnp.EvtDeviceD0Entry, (WDFDEVICE)d, previous);
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
        (void)callDriver(d->pnp.EvtDeviceD0Exit, (WDFDEVICE)d, target);
    d->power = target;
}

// Leaves the working state for good (stop, surprise removal, removal).
void stopHardware(FxDevice* d) {
    PowerLock lock(d);
    if (!d->started)
        return;
    leaveD0(d, WdfPowerDeviceD3Final);
    if (d->pnp.EvtDeviceReleaseHardware)
        (void)callDriver(d->pnp.EvtDeviceReleaseHardware, (WDFDEVICE)d, WDFCMRESLIST(nullptr));
    d->started = false;
}

void setInterfaces(FxDevice* d, bool enable) {
    for (auto& name : d->interfaces)
        (void)IoSetDeviceInterfaceState(&name, enable);
}

IO_COMPLETION_ROUTINE onForwardDone;

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
            retire(f, "closed");
        }
        d->files.clear();
    }
    for (auto* q : d->queues) {
        q->dispose();
        retire(q, "deleted with its device");
    }
    d->queues.clear();
    d->defaultQueue = nullptr;
    for (auto* u : d->usbDevices) {
        u->dispose();
        retire(u, "deleted with its device");
    }
    d->usbDevices.clear();
    d->dispose();
    // A power-up that WdfDeviceStopIdle(FALSE) started has ended before the
    // device goes; a power reference still held now is the driver's fault.
    KeWaitForSingleObject(&d->noPowerUpPending, Executive, KernelMode, FALSE, nullptr);
    if (LONG held = d->powerReferences.load(); held > 0)
        report("device removed while " + std::to_string(held) +
               " WdfDeviceStopIdle reference(s) are still held (no matching WdfDeviceResumeIdle)");
    for (auto& name : d->interfaces)
        RtlFreeUnicodeString(&name);
    d->interfaces.clear();
    PDEVICE_OBJECT fdo = d->fdo;
    if (d->lower)
        IoDetachDevice(d->lower);
    retire(d, "removed");
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
                status = callDriver(d->pnp.EvtDevicePrepareHardware, (WDFDEVICE)d, WDFCMRESLIST(nullptr), WDFCMRESLIST(nullptr));
            if (NT_SUCCESS(status)) {
                d->started = true;
                setInterfaces(d, true);
                status = enterD0(d, WdfPowerDeviceD3Final);
                if (!NT_SUCCESS(status)) {
                    if (d->pnp.EvtDeviceReleaseHardware)
                        (void)callDriver(d->pnp.EvtDeviceReleaseHardware, (WDFDEVICE)d, WDFCMRESLIST(nullptr));
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
    auto* request = adopt(d->owner, new FxRequest);
    request->device = d;
    request->irp = irp;
    IoMarkIrpPending(irp);
    callDriver(q->config.EvtIoDeviceControl, (WDFQUEUE)q, (WDFREQUEST)request,
               size_t(stack->Parameters.DeviceIoControl.OutputBufferLength),
               size_t(stack->Parameters.DeviceIoControl.InputBufferLength),
               ULONG(stack->Parameters.DeviceIoControl.IoControlCode));
    return STATUS_PENDING;
}

DRIVER_DISPATCH dispatch;

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
        auto* file = adopt(d->owner, new FxFile);
        file->device = d;
        file->wdm = stack->FileObject;
        {
            std::lock_guard g(d->filesMutex);
            d->files[stack->FileObject] = file;
        }
        if (!d->hasFile || !d->file.EvtDeviceFileCreate)
            return completeIrp(irp, STATUS_SUCCESS);
        auto* request = adopt(d->owner, new FxRequest);
        request->device = d;
        request->irp = irp;
        request->createdFile = file;
        IoMarkIrpPending(irp);
        callDriver(d->file.EvtDeviceFileCreate, (WDFDEVICE)d, (WDFREQUEST)request, (WDFFILEOBJECT)file);
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
            callDriver(d->file.EvtFileCleanup, (WDFFILEOBJECT)file);
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
                callDriver(d->file.EvtFileClose, (WDFFILEOBJECT)file);
            file->dispose();
            retire(file, "closed");
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

DRIVER_ADD_DEVICE addDevice;

NTSTATUS addDevice(PDRIVER_OBJECT drv, PDEVICE_OBJECT pdo) {
    FxGlobals* g = globalsOf(drv);
    if (!g || !g->driver)
        return STATUS_UNSUCCESSFUL;
    WdfDeviceInitRecord init;
    init.driver = g->driver;
    init.pdo = pdo;
    PWDFDEVICE_INIT handle = reinterpret_cast<PWDFDEVICE_INIT>(&init);
    NTSTATUS status = callDriver(g->driver->config.EvtDriverDeviceAdd, (WDFDRIVER)g->driver, handle);
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

DRIVER_UNLOAD driverUnload;

VOID driverUnload(PDRIVER_OBJECT drv) {
    FxGlobals* g = globalsOf(drv);
    if (!g || !g->driver)
        return;
    FxDriver* driver = g->driver;
    if (driver->config.EvtDriverUnload)
        callDriver(driver->config.EvtDriverUnload, (WDFDRIVER)driver);
    driver->dispose();
    g->driver = nullptr;
    g->pub.Driver = nullptr;
    retire(driver, "unloaded");
}

// ---- table functions -------------------------------------------------------

NTSTATUS NTAPI WdfDriverCreateImpl(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT drv, PCUNICODE_STRING path,
                             PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* out) {
    if (!irqlAllowed("WdfDriverCreate", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    FxGlobals* g = fx(globals);
    if (!config || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        report("WdfDriverCreate: WDF_DRIVER_CONFIG of the wrong size");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (g->driver)
        return STATUS_DRIVER_INTERNAL_ERROR;
    auto* driver = adopt(g, new FxDriver);
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

PWSTR NTAPI WdfDriverGetRegistryPathImpl(PWDF_DRIVER_GLOBALS globals, WDFDRIVER driver) {
    if (!irqlAllowed("WdfDriverGetRegistryPath", PASSIVE_LEVEL))
        return nullptr;
    auto* d = as<FxDriver>(globals, driver, FxType::Driver, "WdfDriverGetRegistryPath");
    return d ? (PWSTR)d->registryPath.c_str() : nullptr;
}

WdfDeviceInitRecord* initOf(PWDFDEVICE_INIT init) { return reinterpret_cast<WdfDeviceInitRecord*>(init); }

VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacksImpl(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init,
                                                PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    if (!irqlAllowed("WdfDeviceInitSetPnpPowerEventCallbacks", DISPATCH_LEVEL))
        return;
    if (callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS))
        report("WdfDeviceInitSetPnpPowerEventCallbacks: structure of size " + std::to_string(callbacks->Size));
    initOf(init)->pnp = *callbacks;
}

VOID NTAPI WdfDeviceInitSetIoTypeImpl(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init, WDF_DEVICE_IO_TYPE type) {
    if (!irqlAllowed("WdfDeviceInitSetIoType", DISPATCH_LEVEL))
        return;
    initOf(init)->ioType = type;
}

VOID NTAPI WdfDeviceInitSetFileObjectConfigImpl(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT init, PWDF_FILEOBJECT_CONFIG config,
                                          PWDF_OBJECT_ATTRIBUTES) {
    if (!irqlAllowed("WdfDeviceInitSetFileObjectConfig", DISPATCH_LEVEL))
        return;
    if (config->Size != sizeof(WDF_FILEOBJECT_CONFIG))
        report("WdfDeviceInitSetFileObjectConfig: structure of size " + std::to_string(config->Size));
    initOf(init)->file = *config;
    initOf(init)->hasFile = true;
}

NTSTATUS NTAPI WdfDeviceCreateImpl(PWDF_DRIVER_GLOBALS globals, PWDFDEVICE_INIT* initPtr, PWDF_OBJECT_ATTRIBUTES attributes,
                             WDFDEVICE* out) {
    if (!irqlAllowed("WdfDeviceCreate", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    WdfDeviceInitRecord* init = initOf(*initPtr);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(init->driver->globals->wdm, sizeof(FxDevice*), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                     &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* d = adopt(fx(globals), new FxDevice);
    d->driver = init->driver;
    d->fdo = fdo;
    d->pdo = init->pdo;
    d->pnp = init->pnp;
    d->file = init->file;
    d->hasFile = init->hasFile;
    d->applyAttributes(attributes);
    KeInitializeMutex(&d->powerLock, 0);
    KeInitializeEvent(&d->noPowerUpPending, NotificationEvent, TRUE);
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
        retire(d, "never created");
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

NTSTATUS NTAPI WdfDeviceCreateDeviceInterfaceImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, const GUID* guid,
                                            PCUNICODE_STRING reference) {
    if (!irqlAllowed("WdfDeviceCreateDeviceInterface", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceCreateDeviceInterface");
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

NTSTATUS NTAPI WdfDeviceCreateSymbolicLinkImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, PCUNICODE_STRING link) {
    if (!irqlAllowed("WdfDeviceCreateSymbolicLink", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceCreateSymbolicLink");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (!d->links.empty()) {
        report("WdfDeviceCreateSymbolicLink: the device already has a symbolic link");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
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

NTSTATUS NTAPI WdfDeviceOpenRegistryKeyImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, ULONG type, ACCESS_MASK access,
                                      PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* out) {
    if (!irqlAllowed("WdfDeviceOpenRegistryKey", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceOpenRegistryKey");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    HANDLE h = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(d->pdo, type, access, &h);
    if (!NT_SUCCESS(status))
        return status;
    auto* key = adopt(fx(globals), new FxKey);
    key->handle = h;
    key->applyAttributes(attributes);
    *out = (WDFKEY)key;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfDeviceAssignS0IdleSettingsImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device,
                                           PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings) {
    if (!irqlAllowed("WdfDeviceAssignS0IdleSettings", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceAssignS0IdleSettings");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (settings->IdleCaps == IdleCapsInvalid || settings->IdleCaps > IdleUsbSelectiveSuspend)
        return STATUS_INVALID_PARAMETER;
    d->idle = *settings;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfDeviceSetPnpCapabilitiesImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES caps) {
    if (!irqlAllowed("WdfDeviceSetPnpCapabilities", DISPATCH_LEVEL))
        return;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceSetPnpCapabilities");
    if (!d)
        return;
    if (caps->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES))
        report("WdfDeviceSetPnpCapabilities: structure of size " + std::to_string(caps->Size));
    d->caps = *caps;
}

struct PowerUpWork {
    FxDevice* device;
    PIO_WORKITEM item;
};

IO_WORKITEM_ROUTINE powerUpWorkRoutine;
VOID powerUpWorkRoutine(PDEVICE_OBJECT, PVOID context) {
    auto* work = static_cast<PowerUpWork*>(context);
    FxDevice* d = work->device;
    powerUpForIo(d);
    IoFreeWorkItem(work->item);
    delete work;
    if (d->powerUpsPending.fetch_sub(1) == 1)
        KeSetEvent(&d->noPowerUpPending, IO_NO_INCREMENT, FALSE);
}

// Brings the device back to D0 on a system worker thread (the caller may be
// at DISPATCH_LEVEL and does not wait). False when no work item could be had.
bool startPowerUp(FxDevice* d) {
    PIO_WORKITEM item = IoAllocateWorkItem(d->fdo);
    if (!item)
        return false;
    if (d->powerUpsPending.fetch_add(1) == 0)
        KeClearEvent(&d->noPowerUpPending);
    IoQueueWorkItem(item, powerUpWorkRoutine, DelayedWorkQueue, new PowerUpWork{d, item});
    return true;
}

// A power reference keeps the device in D0. Waiting for D0 is allowed only at
// PASSIVE_LEVEL; without the wait, a device that is not in D0 (idle, or on its
// way back) is powered up in the background and the call returns STATUS_PENDING.
NTSTATUS NTAPI WdfDeviceStopIdleImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, BOOLEAN waitForD0) {
    if (!irqlAllowed("WdfDeviceStopIdle", waitForD0 ? PASSIVE_LEVEL : DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceStopIdle");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (waitForD0) {
        d->powerReferences.fetch_add(1);
        powerUpForIo(d);
        return STATUS_SUCCESS;
    }
    if (!d->started || d->power == WdfPowerDeviceD0) {
        d->powerReferences.fetch_add(1);
        return STATUS_SUCCESS;
    }
    if (!startPowerUp(d))
        return STATUS_INSUFFICIENT_RESOURCES;
    d->powerReferences.fetch_add(1);
    return STATUS_PENDING;
}

VOID NTAPI WdfDeviceResumeIdleImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device) {
    if (!irqlAllowed("WdfDeviceResumeIdle", DISPATCH_LEVEL))
        return;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfDeviceResumeIdle");
    if (!d)
        return;
    if (d->powerReferences.fetch_sub(1) <= 0) {
        d->powerReferences.fetch_add(1);
        report("WdfDeviceResumeIdle without a matching WdfDeviceStopIdle");
    }
}

WDFDEVICE NTAPI WdfFileObjectGetDeviceImpl(PWDF_DRIVER_GLOBALS globals, WDFFILEOBJECT file) {
    if (!irqlAllowed("WdfFileObjectGetDevice", DISPATCH_LEVEL))
        return nullptr;
    auto* f = as<FxFile>(globals, file, FxType::File, "WdfFileObjectGetDevice");
    return f ? (WDFDEVICE)f->device : nullptr;
}

NTSTATUS NTAPI WdfIoQueueCreateImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config,
                              PWDF_OBJECT_ATTRIBUTES attributes, WDFQUEUE* out) {
    if (!irqlAllowed("WdfIoQueueCreate", DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfIoQueueCreate");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    if (config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        report("WdfIoQueueCreate: WDF_IO_QUEUE_CONFIG of size " + std::to_string(config->Size));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (config->DefaultQueue && d->defaultQueue)
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* q = adopt(fx(globals), new FxQueue);
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

WDFDEVICE NTAPI WdfIoQueueGetDeviceImpl(PWDF_DRIVER_GLOBALS globals, WDFQUEUE queue) {
    if (!irqlAllowed("WdfIoQueueGetDevice", DISPATCH_LEVEL))
        return nullptr;
    auto* q = as<FxQueue>(globals, queue, FxType::Queue, "WdfIoQueueGetDevice");
    return q ? (WDFDEVICE)q->device : nullptr;
}

PVOID FASTCALL WdfObjectGetTypedContextWorkerImpl(PWDF_DRIVER_GLOBALS globals, WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    if (!irqlAllowed("WdfObjectGetTypedContextWorker", DISPATCH_LEVEL))
        return nullptr;
    FxObject* o = lookup(globals, handle, "WdfObjectGetTypedContextWorker");
    if (!o || !o->contextType || o->context.empty())
        return nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = type && type->UniqueType ? type->UniqueType : type;
    return o->contextType == unique ? o->context.data() : nullptr;
}

VOID NTAPI WdfObjectDeleteImpl(PWDF_DRIVER_GLOBALS globals, WDFOBJECT handle) {
    if (!irqlAllowed("WdfObjectDelete", DISPATCH_LEVEL))
        return;
    FxObject* o = lookup(globals, handle, "WdfObjectDelete");
    if (!o)
        return;
    if (o->type == FxType::Key) {
        auto* k = static_cast<FxKey*>(o);
        ZwClose(k->handle);
        k->dispose();
        retire(k, "deleted");
        return;
    }
    report(std::string("WdfObjectDelete of a ") + typeName(o->type) + ", which the driver may not delete");
}

VOID NTAPI WdfRegistryCloseImpl(PWDF_DRIVER_GLOBALS globals, WDFKEY key) {
    if (!irqlAllowed("WdfRegistryClose", PASSIVE_LEVEL))
        return;
    auto* k = as<FxKey>(globals, key, FxType::Key, "WdfRegistryClose");
    if (!k)
        return;
    ZwClose(k->handle);
    k->dispose();
    retire(k, "closed");
}

NTSTATUS NTAPI WdfRegistryQueryULongImpl(PWDF_DRIVER_GLOBALS globals, WDFKEY key, PCUNICODE_STRING name, PULONG value) {
    if (!irqlAllowed("WdfRegistryQueryULong", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* k = as<FxKey>(globals, key, FxType::Key, "WdfRegistryQueryULong");
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

NTSTATUS NTAPI WdfRegistryAssignULongImpl(PWDF_DRIVER_GLOBALS globals, WDFKEY key, PCUNICODE_STRING name, ULONG value) {
    if (!irqlAllowed("WdfRegistryAssignULong", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* k = as<FxKey>(globals, key, FxType::Key, "WdfRegistryAssignULong");
    if (!k)
        return STATUS_INVALID_PARAMETER;
    return ZwSetValueKey(k->handle, (PUNICODE_STRING)name, 0, REG_DWORD, &value, sizeof(value));
}

VOID completeRequest(FxRequest* r, NTSTATUS status, ULONG_PTR information) {
    if (r->createdFile && !NT_SUCCESS(status)) {
        std::lock_guard g(r->device->filesMutex);
        r->device->files.erase(r->createdFile->wdm);
        retire(r->createdFile, "closed (its create failed)");
    }
    PIRP irp = r->irp;
    retire(r, "completed");
    completeIrp(irp, status, information);
}

VOID NTAPI WdfRequestCompleteImpl(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request, NTSTATUS status) {
    if (!irqlAllowed("WdfRequestComplete", DISPATCH_LEVEL))
        return;
    auto* r = as<FxRequest>(globals, request, FxType::Request, "WdfRequestComplete");
    if (r)
        completeRequest(r, status, 0);
}

VOID NTAPI WdfRequestCompleteWithInformationImpl(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request, NTSTATUS status,
                                           ULONG_PTR information) {
    if (!irqlAllowed("WdfRequestCompleteWithInformation", DISPATCH_LEVEL))
        return;
    auto* r = as<FxRequest>(globals, request, FxType::Request, "WdfRequestCompleteWithInformation");
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

NTSTATUS NTAPI WdfRequestRetrieveInputBufferImpl(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request, size_t minimum, PVOID* buffer,
                                           size_t* length) {
    if (!irqlAllowed("WdfRequestRetrieveInputBuffer", DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* r = as<FxRequest>(globals, request, FxType::Request, "WdfRequestRetrieveInputBuffer");
    return r ? retrieveBuffer(r, true, minimum, buffer, length) : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI WdfRequestRetrieveOutputBufferImpl(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request, size_t minimum, PVOID* buffer,
                                            size_t* length) {
    if (!irqlAllowed("WdfRequestRetrieveOutputBuffer", DISPATCH_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* r = as<FxRequest>(globals, request, FxType::Request, "WdfRequestRetrieveOutputBuffer");
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

// The framework's own requests (descriptors, the configuration) give up
// after 5 s: a device that never answers fails the call that needed it
// instead of holding the PnP start for ever.
constexpr LONGLONG kFrameworkUrbTimeout = -5 * 10'000'000LL;

NTSTATUS NTAPI WdfUsbTargetDeviceCreateImpl(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes,
                                      WDFUSBDEVICE* out) {
    if (!irqlAllowed("WdfUsbTargetDeviceCreate", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* d = as<FxDevice>(globals, device, FxType::Device, "WdfUsbTargetDeviceCreate");
    if (!d)
        return STATUS_INVALID_PARAMETER;
    auto* u = adopt(fx(globals), new FxUsbDevice);
    u->device = d;
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, &u->descriptor, nullptr, sizeof(u->descriptor), nullptr);
    NTSTATUS status = submitUrb(d, &urb, kFrameworkUrbTimeout);
    if (!NT_SUCCESS(status)) {
        retire(u, "never created");
        return status;
    }
    u->applyAttributes(attributes);
    d->usbDevices.push_back(u);
    *out = (WDFUSBDEVICE)u;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfUsbTargetDeviceSelectConfigImpl(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb, PWDF_OBJECT_ATTRIBUTES,
                                            PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
    if (!irqlAllowed("WdfUsbTargetDeviceSelectConfig", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* u = as<FxUsbDevice>(globals, usb, FxType::UsbDevice, "WdfUsbTargetDeviceSelectConfig");
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
    NTSTATUS status = submitUrb(u->device, &urb, kFrameworkUrbTimeout);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<uint8_t> full(head.wTotalLength < sizeof(head) ? sizeof(head) : head.wTotalLength);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, full.data(), nullptr, ULONG(full.size()),
                                 nullptr);
    status = submitUrb(u->device, &urb, kFrameworkUrbTimeout);
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
    status = submitUrb(u->device, select, kFrameworkUrbTimeout);
    ExFreePool(select);
    return status;
}

NTSTATUS NTAPI WdfUsbTargetDeviceSendControlTransferSynchronouslyImpl(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb,
                                                                WDFREQUEST request,
                                                                PWDF_REQUEST_SEND_OPTIONS options,
                                                                PWDF_USB_CONTROL_SETUP_PACKET setup,
                                                                PWDF_MEMORY_DESCRIPTOR memory, PULONG transferred) {
    if (!irqlAllowed("WdfUsbTargetDeviceSendControlTransferSynchronously", PASSIVE_LEVEL))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* u = as<FxUsbDevice>(globals, usb, FxType::UsbDevice, "WdfUsbTargetDeviceSendControlTransferSynchronously");
    if (!u)
        return STATUS_INVALID_PARAMETER;
    if (request)
        return STATUS_NOT_SUPPORTED;   // only the form without a framework request
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

template <int I> NTSTATUS NTAPI unimplemented() {
    report("function table entry " + std::to_string(I) + " is not implemented on the host");
    return STATUS_NOT_IMPLEMENTED;
}

template <int... I> constexpr auto makeTable(std::integer_sequence<int, I...>) {
    return std::array<WDFFUNC, sizeof...(I)>{reinterpret_cast<WDFFUNC>(&unimplemented<I>)...};
}

struct Table {
    std::array<WDFFUNC, WdfFunctionTableNumEntries> entries = makeTable(
        std::make_integer_sequence<int, WdfFunctionTableNumEntries>{});
    // Each entry goes in through its own function type, so an implementation
    // whose signature or calling convention differs does not build, and
    // through the export boundary, as a routine of the kernel does for an
    // image (a thread that ends in a framework call made by an image).
    template <class Pfn, auto F> void put(int index) {
        [[maybe_unused]] Pfn typed = F;
        entries[index] = reinterpret_cast<WDFFUNC>(&host::ExportBoundary<F>::call);
    }
    Table() {
        put<PFN_WDFDRIVERCREATE, &WdfDriverCreateImpl>(WdfDriverCreateTableIndex);
        put<PFN_WDFDRIVERGETREGISTRYPATH, &WdfDriverGetRegistryPathImpl>(WdfDriverGetRegistryPathTableIndex);
        put<PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS, &WdfDeviceInitSetPnpPowerEventCallbacksImpl>(WdfDeviceInitSetPnpPowerEventCallbacksTableIndex);
        put<PFN_WDFDEVICEINITSETIOTYPE, &WdfDeviceInitSetIoTypeImpl>(WdfDeviceInitSetIoTypeTableIndex);
        put<PFN_WDFDEVICEINITSETFILEOBJECTCONFIG, &WdfDeviceInitSetFileObjectConfigImpl>(WdfDeviceInitSetFileObjectConfigTableIndex);
        put<PFN_WDFDEVICECREATE, &WdfDeviceCreateImpl>(WdfDeviceCreateTableIndex);
        put<PFN_WDFDEVICECREATEDEVICEINTERFACE, &WdfDeviceCreateDeviceInterfaceImpl>(WdfDeviceCreateDeviceInterfaceTableIndex);
        put<PFN_WDFDEVICECREATESYMBOLICLINK, &WdfDeviceCreateSymbolicLinkImpl>(WdfDeviceCreateSymbolicLinkTableIndex);
        put<PFN_WDFDEVICEOPENREGISTRYKEY, &WdfDeviceOpenRegistryKeyImpl>(WdfDeviceOpenRegistryKeyTableIndex);
        put<PFN_WDFDEVICEASSIGNS0IDLESETTINGS, &WdfDeviceAssignS0IdleSettingsImpl>(WdfDeviceAssignS0IdleSettingsTableIndex);
        put<PFN_WDFDEVICESETPNPCAPABILITIES, &WdfDeviceSetPnpCapabilitiesImpl>(WdfDeviceSetPnpCapabilitiesTableIndex);
        put<PFN_WDFDEVICESTOPIDLE, &WdfDeviceStopIdleImpl>(WdfDeviceStopIdleTableIndex);
        put<PFN_WDFDEVICERESUMEIDLE, &WdfDeviceResumeIdleImpl>(WdfDeviceResumeIdleTableIndex);
        put<PFN_WDFFILEOBJECTGETDEVICE, &WdfFileObjectGetDeviceImpl>(WdfFileObjectGetDeviceTableIndex);
        put<PFN_WDFIOQUEUECREATE, &WdfIoQueueCreateImpl>(WdfIoQueueCreateTableIndex);
        put<PFN_WDFIOQUEUEGETDEVICE, &WdfIoQueueGetDeviceImpl>(WdfIoQueueGetDeviceTableIndex);
        put<PFN_WDFOBJECTGETTYPEDCONTEXTWORKER, &WdfObjectGetTypedContextWorkerImpl>(WdfObjectGetTypedContextWorkerTableIndex);
        put<PFN_WDFOBJECTDELETE, &WdfObjectDeleteImpl>(WdfObjectDeleteTableIndex);
        put<PFN_WDFREGISTRYCLOSE, &WdfRegistryCloseImpl>(WdfRegistryCloseTableIndex);
        put<PFN_WDFREGISTRYQUERYULONG, &WdfRegistryQueryULongImpl>(WdfRegistryQueryULongTableIndex);
        put<PFN_WDFREGISTRYASSIGNULONG, &WdfRegistryAssignULongImpl>(WdfRegistryAssignULongTableIndex);
        put<PFN_WDFREQUESTCOMPLETE, &WdfRequestCompleteImpl>(WdfRequestCompleteTableIndex);
        put<PFN_WDFREQUESTCOMPLETEWITHINFORMATION, &WdfRequestCompleteWithInformationImpl>(WdfRequestCompleteWithInformationTableIndex);
        put<PFN_WDFREQUESTRETRIEVEINPUTBUFFER, &WdfRequestRetrieveInputBufferImpl>(WdfRequestRetrieveInputBufferTableIndex);
        put<PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER, &WdfRequestRetrieveOutputBufferImpl>(WdfRequestRetrieveOutputBufferTableIndex);
        put<PFN_WDFUSBTARGETDEVICECREATE, &WdfUsbTargetDeviceCreateImpl>(WdfUsbTargetDeviceCreateTableIndex);
        put<PFN_WDFUSBTARGETDEVICESELECTCONFIG, &WdfUsbTargetDeviceSelectConfigImpl>(WdfUsbTargetDeviceSelectConfigTableIndex);
        put<PFN_WDFUSBTARGETDEVICESENDCONTROLTRANSFERSYNCHRONOUSLY, &WdfUsbTargetDeviceSendControlTransferSynchronouslyImpl>(WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex);
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
    if (component != u"KmdfLibrary" || BindInfo->Version.Major != 1 || BindInfo->Version.Minor > 9)
        return kStatusRevisionMismatch;
    // A client built for more functions than this framework has is refused,
    // and its table is left as it was.
    if (BindInfo->FuncCount == 0 || BindInfo->FuncCount > WdfFunctionTableNumEntries)
        return STATUS_INVALID_PARAMETER;
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
    // Clients before 1.15 own their table: they get a copy of the entries they
    // were built for.
    memcpy(BindInfo->FuncTable, table().entries.data(), BindInfo->FuncCount * sizeof(WDFFUNC));
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
        retire(g->driver, "unloaded");
        g->driver = nullptr;
    }
    releaseHandles(g);
    delete g;
    return STATUS_SUCCESS;
}

// The framework loader's exports to images (WDFLDR.SYS).
namespace {
const host::ExportEntry kWdfLdr[] = {
    ZH_EXPORT(WdfVersionBind),
    ZH_EXPORT(WdfVersionUnbind),
};
} // namespace

extern "C" {
extern const host::ExportModule ZhostModule_wdfldr_sys;
const host::ExportModule ZhostModule_wdfldr_sys = {"WDFLDR.SYS", kWdfLdr, std::size(kWdfLdr)};
}

// The Plug and Play manager's host interface: driver services and images,
// the bus driver object that owns PDOs, device arrival and removal, and the
// PnP requests sent to a device stack.
//
// A bus driver (host/usb) creates its PDOs with IoCreateDevice on the driver
// object from busDriver(), fills that object's MajorFunction table, and
// announces each PDO with deviceArrived(); the PnP manager then creates the
// device's Enum key, binds a function driver by hardware ID, runs the class
// installer of the device's setup class, calls its AddDevice and sends
// IRP_MN_START_DEVICE. All PnP work runs, one item at a
// time, on the machine's PnP thread at PASSIVE_LEVEL; the *Async calls may be
// made from any thread and IRQL (a bus driver's DPC, a model event).
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

class Machine;
class WorkerThread;
class PeImage;
struct ThreadRec;

struct DeviceDescription {
    std::u16string instanceId;              // e.g. USB\VID_0B1E&PID_1410\6&1a2b3c4d&0&3
    std::vector<std::u16string> hardwareIds; // most specific first
    std::vector<std::u16string> compatibleIds;
    std::u16string locationInformation;     // "LocationInformation" value
    std::u16string deviceDescription;       // "DeviceDesc"
    std::u16string manufacturer;
    GUID classGuid{};                        // setup class; zero = unknown
    std::u16string className;
    ULONG address = 0;
    ULONG busNumber = 0;
    ULONG uiNumber = 0;
};

// A driver image loaded into one machine.
class DriverImage {
public:
    ~DriverImage();
    const std::u16string& service() const { return service_; }
    PDRIVER_OBJECT driverObject() const { return driver_; }
    const void* base() const { return base_; }
    void* handle() const { return handle_; }
    // The mapped image when the driver was loaded from its shipped .sys
    // file, null for a host build (a shared object).
    const PeImage* peImage() const { return pe_.get(); }
    // A C routine or variable of the image by name (null when absent). In a
    // shipped image every routine has the Windows convention: look up only
    // routines declared through a role type, with that type.
    template <class T>
    T symbol(const char* name) const {
        return reinterpret_cast<T>(rawSymbol(name));
    }
    void* rawSymbol(const char* name) const;

private:
    friend class PnpManager;
    std::u16string service_;
    std::filesystem::path copy_;
    void* handle_ = nullptr;
    std::unique_ptr<PeImage> pe_;
    const void* base_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

enum class DevNodeState { Arrived, Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, Failed };

struct DevNode {
    DeviceDescription description;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string service;                 // bound function driver ("" = none)
    std::u16string driverKey;               // {class guid}\0000
    DevNodeState state = DevNodeState::Arrived;
    NTSTATUS lastStatus = STATUS_SUCCESS;
    DEVICE_CAPABILITIES capabilities{};
    bool removeWhenClosed = false;          // surprise-removed, REMOVE waits for the last handle
};

class PnpManager {
public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();

    // Driver services. A service names a driver image (a shared object built
    // from a driver's sources); binding a hardware ID to it makes devices
    // with that ID load it. installDriver does both and writes the service key.
    void installDriver(const std::u16string& service, const std::filesystem::path& image,
                       const std::vector<std::u16string>& hardwareIds = {}, const GUID* classGuid = nullptr);
    void bindHardwareId(const std::u16string& hardwareId, const std::u16string& service);
    void unbindHardwareId(const std::u16string& hardwareId);
    // Loads the service's image now (DriverEntry); normally done on first use.
    NTSTATUS loadDriver(const std::u16string& service);
    // Unloads it if no device uses it (DriverUnload, verifier checks, unload).
    NTSTATUS unloadDriver(const std::u16string& service);
    DriverImage* image(const std::u16string& service);

    // The host-owned driver object of a bus driver (created on first use).
    PDRIVER_OBJECT busDriver(const std::u16string& name);

    // Device arrival and departure, from any thread or IRQL; queued.
    //
    // A device is installed when it arrives with a driver bound and either
    // its Enum key has no driver yet or the description names its setup
    // class (as the driver store's installation does). Installing a device of
    // the Ports class gives it a COM name before its driver's AddDevice, as
    // the platform's Ports class installer does: a "PortName" it already has
    // in its hardware key is kept and marked in use, otherwise the lowest
    // free number of the COM name database (ComDB under Control\COM Name
    // Arbiter, bit n = COM<n+1>) is taken and written as "PortName"; the Enum
    // key gets "FriendlyName" = "<DeviceDesc> (<PortName>)". The machine's
    // built-in ports hold COM1 and COM2 from the start.
    void deviceArrivedAsync(PDEVICE_OBJECT pdo, DeviceDescription description);
    // Installation of a device that arrives new (its Enum key does not exist
    // yet), as the system installs a newly plugged device from the driver
    // store: the hook, run on the PnP thread at the start of the arrival, may
    // name the device's text and setup class in the description, write its
    // hardware key and bind its IDs; what it returns (may be empty) runs once
    // the device has its driver key (given relative to Control\Class), before
    // AddDevice. The Win32 subsystem sets it; there is none by default.
    using ArrivalInstaller =
        std::function<std::function<void(const std::u16string&)>(PDEVICE_OBJECT, DeviceDescription&)>;
    void setArrivalInstaller(ArrivalInstaller installer);
    void deviceRemovedAsync(PDEVICE_OBJECT pdo);   // unplugged: SURPRISE_REMOVAL, then REMOVE
    // The same, waiting (PASSIVE_LEVEL, attached thread) until done.
    NTSTATUS deviceArrived(PDEVICE_OBJECT pdo, DeviceDescription description);
    void deviceRemoved(PDEVICE_OBJECT pdo);

    // Uninstalls a device (devcon remove, pnputil /delete-driver /uninstall),
    // synchronous: a running stack is removed first (a refusal is returned
    // and the device stays installed), then the COM name its class installer
    // gave it is released and its driver key and Enum key are deleted. The
    // device node stays, so that a rescan finds the device again.
    NTSTATUS uninstallDevice(PDEVICE_OBJECT pdo);

    // PnP requests on a device's stack, synchronous (PASSIVE_LEVEL, attached thread).
    NTSTATUS startDevice(PDEVICE_OBJECT pdo);
    NTSTATUS queryStopDevice(PDEVICE_OBJECT pdo);
    NTSTATUS cancelStopDevice(PDEVICE_OBJECT pdo);
    NTSTATUS stopDevice(PDEVICE_OBJECT pdo);
    NTSTATUS queryRemoveDevice(PDEVICE_OBJECT pdo);
    NTSTATUS cancelRemoveDevice(PDEVICE_OBJECT pdo);
    NTSTATUS removeDevice(PDEVICE_OBJECT pdo);       // orderly: QUERY_REMOVE, then REMOVE
    NTSTATUS surpriseRemoveDevice(PDEVICE_OBJECT pdo);
    NTSTATUS queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps);
    // Any IRP_MJ_PNP request, built by `prepare` on the top of the stack.
    NTSTATUS sendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& prepare = {}, ULONG_PTR* information = nullptr);

    // Waits until the PnP queue is empty.
    void waitIdle();
    // Runs fn on the PnP thread, in order with the PnP work.
    void post(std::function<void()> fn);
    // Runs fn on the system worker thread (work items).
    void postWork(std::function<void()> fn);
    // A file on a device of this stack was closed (deferred removals go on).
    void fileClosed(PDEVICE_OBJECT device);
    void start();

    std::optional<DevNode> devNode(PDEVICE_OBJECT pdo);
    std::optional<DevNode> devNodeByInstance(const std::u16string& instanceId);
    std::vector<DevNode> devNodes();
    std::u16string enumKeyPath(PDEVICE_OBJECT pdo);    // \Registry\Machine\...\Enum\<instance>

    // Removes every device and unloads every driver (machine shutdown).
    void shutdown();

private:
    struct Service {
        std::u16string name;
        std::filesystem::path image;
        std::unique_ptr<DriverImage> loaded;
    };
    NTSTATUS arrive(PDEVICE_OBJECT pdo, DeviceDescription description);
    void unplug(PDEVICE_OBJECT pdo);
    NTSTATUS removeStack(DevNode& node, bool surprise);
    void addToServiceEnum(const std::u16string& service, const std::u16string& instanceId);
    void removeFromServiceEnum(const std::u16string& service, const std::u16string& instanceId);
    void maybeUnload(const std::u16string& service);
    void installPort(const std::u16string& enumKey);
    void releasePortName(const std::u16string& enumKey);
    NTSTATUS doUnload(Service& s);
    // A service's image file: a shipped driver image (PE32+) is mapped by
    // the machine's image loader, a host build (a shared object) is copied
    // into the machine's folder and opened with dlopen.
    static bool isDriverImageFile(const std::filesystem::path& file);
    NTSTATUS mapImage(Service& s, DriverImage& img, PDRIVER_INITIALIZE& entry);
    NTSTATUS openSharedObject(Service& s, DriverImage& img, PDRIVER_INITIALIZE& entry);
    DevNode* find(PDEVICE_OBJECT pdo);
    void setState(PDEVICE_OBJECT pdo, DevNodeState state);
    ArrivalInstaller arrivalInstaller_;
    NTSTATUS sync(std::function<NTSTATUS()> work);

    Machine& machine_;
    std::recursive_mutex mutex_;
    std::map<std::u16string, Service> services_;          // by upper-cased name
    std::vector<std::pair<std::u16string, std::u16string>> bindings_;   // upper-cased hardware ID, service
    std::map<std::u16string, PDRIVER_OBJECT> busDrivers_;
    std::vector<std::unique_ptr<DevNode>> nodes_;
    uint32_t imageCounter_ = 0;
    std::map<std::u16string, uint32_t> classInstances_;

    std::unique_ptr<WorkerThread> pnpThread_;
    std::unique_ptr<WorkerThread> workThread_;
    bool shutDown_ = false;
};

} // namespace host

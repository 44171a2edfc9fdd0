// Plug and Play manager: driver services and images, device nodes and their
// Enum keys, binding by hardware ID, the Ports class installer, AddDevice,
// and the PnP requests that start, stop and remove a device stack. All of it
// runs on the PnP thread.

#include "kernel.h"
#include "cm_registry.h"
#include "io_manager.h"
#include "pnp.h"

#include <dlfcn.h>
#include <fstream>

#include <system_error>

namespace host {

namespace {

DRIVER_DISPATCH invalidRequest;

NTSTATUS invalidRequest(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_PNP && sp->MajorFunction != IRP_MJ_POWER)
        status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT newDriverObject(Machine& m, const std::u16string& name, const std::u16string& serviceKey) {
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (name.size() + serviceKey.size() + 2) * 2;
    auto* mem = static_cast<UCHAR*>(std::calloc(1, size));
    auto* drv = reinterpret_cast<PDRIVER_OBJECT>(mem);
    auto* ext = reinterpret_cast<PDRIVER_EXTENSION>(mem + sizeof(DRIVER_OBJECT));
    auto* names = reinterpret_cast<WCHAR*>(ext + 1);
    drv->Type = IO_TYPE_DRIVER;
    drv->Size = sizeof(DRIVER_OBJECT);
    drv->DriverExtension = ext;
    ext->DriverObject = drv;
    memcpy(names, name.c_str(), (name.size() + 1) * 2);
    drv->DriverName.Buffer = names;
    drv->DriverName.Length = USHORT(name.size() * 2);
    drv->DriverName.MaximumLength = USHORT(drv->DriverName.Length + 2);
    WCHAR* svc = names + name.size() + 1;
    memcpy(svc, serviceKey.c_str(), (serviceKey.size() + 1) * 2);
    ext->ServiceKeyName.Buffer = svc;
    ext->ServiceKeyName.Length = USHORT(serviceKey.size() * 2);
    ext->ServiceKeyName.MaximumLength = USHORT(ext->ServiceKeyName.Length + 2);
    for (auto& f : drv->MajorFunction)
        f = invalidRequest;
    m.objects().registerObject(drv, &ObjectTypeDriver, 1, [mem] { std::free(mem); });
    return drv;
}

std::u16string decimal(uint32_t v) { return fromUtf8(std::to_string(v)); }

// The Ports setup class: devices that get a COM name when installed.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

const std::u16string kComNameArbiter = kControlPath + u"\\COM Name Arbiter";
// The COM name database holds 256 names at first and grows by as many at a
// time, up to COM4096.
constexpr size_t kComDbStep = 32;
constexpr uint32_t kComDbLastNumber = 4096;

// The number n of a name "COM<n>" (1 to 4096, no leading zero), 0 for any
// other name.
uint32_t comNumber(std::u16string_view name) {
    if (name.size() < 4 || name.size() > 7 || !startsWithNoCase(name, u"COM") || name[3] == u'0')
        return 0;
    uint32_t n = 0;
    for (char16_t c : name.substr(3)) {
        if (c < u'0' || c > u'9')
            return 0;
        n = n * 10 + uint32_t(c - u'0');
    }
    return n <= kComDbLastNumber ? n : 0;
}

// The REG_SZ "PortName" of a hardware key, "" when there is none.
std::u16string portNameOf(Registry& reg, const std::u16string& hardwareKey) {
    auto v = reg.value(hardwareKey, u"PortName");
    if (!v || v->type != REG_SZ)
        return {};
    return reg.string(hardwareKey, u"PortName").value_or(u"");
}

// ComDB: bit n - 1 (byte (n - 1) / 8, bit (n - 1) % 8) set = COM<n> in use.
class ComDatabase {
public:
    explicit ComDatabase(Registry& reg) : reg_(reg) {
        if (auto v = reg.value(kComNameArbiter, u"ComDB"); v && v->type == REG_BINARY)
            bits_ = v->data;
        if (bits_.size() < kComDbStep)
            bits_.resize(kComDbStep, 0);
    }
    bool inUse(uint32_t n) const {
        size_t byte = (n - 1) / 8;
        return byte < bits_.size() && (bits_[byte] & (1u << ((n - 1) % 8)));
    }
    // Marks COM<n> in use, growing the database when n lies beyond it.
    void claim(uint32_t n) {
        size_t byte = (n - 1) / 8;
        if (byte >= bits_.size())
            bits_.resize((byte / kComDbStep + 1) * kComDbStep, 0);
        bits_[byte] |= UCHAR(1u << ((n - 1) % 8));
    }
    void release(uint32_t n) {
        size_t byte = (n - 1) / 8;
        if (byte < bits_.size())
            bits_[byte] &= UCHAR(~(1u << ((n - 1) % 8)));
    }
    // The lowest free number, 0 when every one up to COM4096 is taken.
    uint32_t lowestFree() const {
        for (uint32_t n = 1; n <= kComDbLastNumber; ++n)
            if (!inUse(n))
                return n;
        return 0;
    }
    void save() { reg_.setValue(kComNameArbiter, u"ComDB", REG_BINARY, bits_); }

private:
    Registry& reg_;
    std::vector<uint8_t> bits_;
};

bool hasStack(DevNodeState s) {
    return s == DevNodeState::Added || s == DevNodeState::Started || s == DevNodeState::StopPending ||
           s == DevNodeState::Stopped;
}

} // namespace

DriverImage::~DriverImage() = default;

void* DriverImage::rawSymbol(const char* name) const {
    if (pe_)
        return pe_->symbol(name);
    return handle_ ? dlsym(handle_, name) : nullptr;
}

PnpManager::PnpManager(Machine& machine) : machine_(machine) {}

PnpManager::~PnpManager() = default;

void PnpManager::start() {
    // The machine's built-in serial ports hold COM1 and COM2, as on a PC; a
    // machine loaded from its folder keeps the database it had.
    auto& reg = machine_.registry();
    if (!reg.value(kComNameArbiter, u"ComDB")) {
        ComDatabase db(reg);
        db.claim(1);
        db.claim(2);
        db.save();
    }
    // No device is present yet: the services' lists of present devices
    // start empty (they are volatile on the platform).
    for (const std::u16string& service : reg.subkeys(kServicesPath))
        reg.deleteTree(kServicesPath + u"\\" + service + u"\\Enum");
    pnpThread_ = std::make_unique<WorkerThread>(machine_, "PnP");
    workThread_ = std::make_unique<WorkerThread>(machine_, "system worker");
    pnpThread_->start();
    workThread_->start();
}

void PnpManager::post(std::function<void()> fn) {
    pnpThread_->post(std::move(fn));
}

void PnpManager::postWork(std::function<void()> fn) {
    workThread_->post(std::move(fn));
}

void PnpManager::waitIdle() {
    pnpThread_->waitIdle(currentThread());
}

NTSTATUS PnpManager::sync(std::function<NTSTATUS()> work) {
    ThreadRec* t = currentThread();
    if (!t) {
        fprintf(stderr, "zhost: a PnP call from a thread that is not attached to a machine\n");
        std::abort();
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    pnpThread_->runAndWait(t, [&] { result = work(); });
    return result;
}

void PnpManager::installDriver(const std::u16string& service, const std::filesystem::path& image,
                               const std::vector<std::u16string>& hardwareIds, const GUID* classGuid) {
    {
        std::lock_guard g(mutex_);
        auto& s = services_[upcased(service)];
        s.name = service;
        s.image = image;
    }
    std::u16string key = kServicesPath + u"\\" + service;
    machine_.registry().setDword(key, u"Type", 1);
    machine_.registry().setDword(key, u"Start", 3);
    machine_.registry().setDword(key, u"ErrorControl", 1);
    machine_.registry().setString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + service + u".sys",
                                  REG_EXPAND_SZ);
    if (classGuid)
        machine_.registry().setString(key, u"ClassGUID", guidText(*classGuid));
    for (auto& id : hardwareIds)
        bindHardwareId(id, service);
}

void PnpManager::bindHardwareId(const std::u16string& hardwareId, const std::u16string& service) {
    std::lock_guard g(mutex_);
    auto id = upcased(hardwareId);
    std::erase_if(bindings_, [&](auto& b) { return b.first == id; });
    bindings_.push_back({id, service});
}

void PnpManager::unbindHardwareId(const std::u16string& hardwareId) {
    std::lock_guard g(mutex_);
    auto id = upcased(hardwareId);
    std::erase_if(bindings_, [&](auto& b) { return b.first == id; });
}

DriverImage* PnpManager::image(const std::u16string& service) {
    std::lock_guard g(mutex_);
    auto it = services_.find(upcased(service));
    return it == services_.end() ? nullptr : it->second.loaded.get();
}

PDRIVER_OBJECT PnpManager::busDriver(const std::u16string& name) {
    std::lock_guard g(mutex_);
    auto& d = busDrivers_[upcased(name)];
    if (!d)
        d = newDriverObject(machine_, u"\\Driver\\" + name, kServicesPath + u"\\" + name);
    return d;
}

bool PnpManager::isDriverImageFile(const std::filesystem::path& file) {
    char magic[2] = {};
    std::ifstream in(file, std::ios::binary);
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

NTSTATUS PnpManager::mapImage(Service& s, DriverImage& img, PDRIVER_INITIALIZE& entry) {
    std::ifstream in(s.image, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string name = toUtf8(s.name) + ".sys";
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;
    img.pe_ = machine_.loader().load(name, bytes, status, error);
    if (!img.pe_) {
        // Windows logs that the service failed to start; here the test that
        // installed the image learns it from the verifier.
        machine_.verifier().report("driver image " + name + " cannot be loaded: " + error);
        return status;
    }
    entry = img.pe_->entryPoint();
    img.base_ = reinterpret_cast<const void*>(img.pe_->base());
    if (!entry) {
        machine_.verifier().report("driver image " + name + " has no entry point");
        machine_.loader().unload(std::move(img.pe_));
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::openSharedObject(Service& s, DriverImage& img, PDRIVER_INITIALIZE& entry) {
    std::error_code ec;
    std::filesystem::create_directories(machine_.folder() / "images", ec);
    img.copy_ = machine_.folder() / "images" /
                (toUtf8(s.name) + "-" + std::to_string(++imageCounter_) + s.image.extension().string());
    std::filesystem::copy_file(s.image, img.copy_, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        fprintf(stderr, "zhost: cannot copy driver image %s: %s\n", s.image.c_str(), ec.message().c_str());
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    img.handle_ = dlopen(img.copy_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!img.handle_) {
        fprintf(stderr, "zhost: cannot load driver image %s: %s\n", img.copy_.c_str(), dlerror());
        std::filesystem::remove(img.copy_, ec);
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    // The image's entry point: a KMDF driver's is the framework's entry
    // stub (FxDriverEntry), which binds to the framework and then calls the
    // driver's DriverEntry; a WDM driver's is DriverEntry itself.
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(img.handle_, "FxDriverEntry"));
    if (!entry)
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(img.handle_, "DriverEntry"));
    if (!entry) {
        fprintf(stderr, "zhost: driver image %s has no DriverEntry\n", img.copy_.c_str());
        dlclose(img.handle_);
        img.handle_ = nullptr;
        std::filesystem::remove(img.copy_, ec);
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(entry), &info);
    img.base_ = info.dli_fbase;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::loadDriver(const std::u16string& service) {
    return sync([&]() -> NTSTATUS {
        std::lock_guard g(mutex_);
        auto it = services_.find(upcased(service));
        if (it == services_.end())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        Service& s = it->second;
        if (s.loaded)
            return STATUS_SUCCESS;
        auto img = std::make_unique<DriverImage>();
        img->service_ = s.name;
        PDRIVER_INITIALIZE entry = nullptr;
        NTSTATUS loaded = isDriverImageFile(s.image) ? mapImage(s, *img, entry) : openSharedObject(s, *img, entry);
        if (!NT_SUCCESS(loaded))
            return loaded;
        std::u16string regPath = kServicesPath + u"\\" + s.name;
        img->driver_ = newDriverObject(machine_, u"\\Driver\\" + s.name, regPath);
        img->driver_->DriverStart = const_cast<void*>(img->base_);
        img->driver_->DriverInit = entry;
        s.loaded = std::move(img);
        // The registry path is the caller's only for the duration of DriverEntry.
        auto* pathCopy = new std::u16string(regPath);
        UNICODE_STRING path = unicodeView(*pathCopy);
        NTSTATUS status = callDriver(entry, s.loaded->driver_, &path);
        memset(pathCopy->data(), 0, pathCopy->size() * 2);
        delete pathCopy;
        if (!NT_SUCCESS(status)) {
            s.loaded->driver_->DriverUnload = nullptr;
            doUnload(s);
        }
        return status;
    });
}

NTSTATUS PnpManager::doUnload(Service& s) {
    DriverImage* img = s.loaded.get();
    PDRIVER_OBJECT drv = img->driver_;
    std::string name = toUtf8(s.name);
    // A driver of devices that PnP added has none left here; a legacy
    // driver deletes its own in its unload routine.
    if (drv->DriverUnload) {
        drv->Flags |= DRVO_UNLOAD_INVOKED;
        callDriver(drv->DriverUnload, drv);
    }
    if (drv->DeviceObject)
        machine_.verifier().report("driver " + name + " unloads while it still has device objects");
    auto blocks = machine_.pool().blocksOwnedBy(img->base_);
    if (!blocks.empty()) {
        std::string text = "driver " + name + " unloaded with " + std::to_string(blocks.size()) +
                           " pool block(s) still allocated:";
        for (auto& [p, b] : blocks)
            text += " '" + Pool::tagText(b.tag) + "' " + std::to_string(b.size) + " bytes;";
        machine_.verifier().report(text);
    }
    auto irps = machine_.io().irpsOwnedBy(img->base_);
    if (!irps.empty())
        machine_.verifier().report("driver " + name + " unloaded with " + std::to_string(irps.size()) +
                                   " IRP(s) it allocated still not freed");
    if (img->pe_) {
        machine_.loader().unload(std::move(img->pe_));
    } else {
        dlclose(img->handle_);
        std::error_code ec;
        std::filesystem::remove(img->copy_, ec);
    }
    machine_.objects().dereference(drv, "unload");
    s.loaded.reset();
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::unloadDriver(const std::u16string& service) {
    return sync([&]() -> NTSTATUS {
        std::lock_guard g(mutex_);
        auto it = services_.find(upcased(service));
        if (it == services_.end() || !it->second.loaded)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        for (auto& n : nodes_)
            if (upcased(n->service) == upcased(service) && n->state != DevNodeState::Removed &&
                n->state != DevNodeState::Failed && n->state != DevNodeState::Arrived)
                return STATUS_DEVICE_BUSY;
        return doUnload(it->second);
    });
}

void PnpManager::maybeUnload(const std::u16string& service) {
    std::lock_guard g(mutex_);
    auto it = services_.find(upcased(service));
    if (it == services_.end() || !it->second.loaded)
        return;
    for (auto& n : nodes_)
        if (upcased(n->service) == upcased(service) && n->state != DevNodeState::Removed &&
            n->state != DevNodeState::Failed && n->state != DevNodeState::Arrived)
            return;
    if (it->second.loaded->driver_->DeviceObject)
        return;   // the driver keeps a device of its own (a control device)
    doUnload(it->second);
}

DevNode* PnpManager::find(PDEVICE_OBJECT pdo) {
    for (auto& n : nodes_)
        if (n->pdo == pdo)
            return n.get();
    return nullptr;
}

std::optional<DevNode> PnpManager::devNode(PDEVICE_OBJECT pdo) {
    std::lock_guard g(mutex_);
    if (DevNode* n = find(pdo))
        return *n;
    return std::nullopt;
}

std::optional<DevNode> PnpManager::devNodeByInstance(const std::u16string& instanceId) {
    std::lock_guard g(mutex_);
    for (auto& n : nodes_)
        if (equalsNoCase(n->description.instanceId, instanceId))
            return *n;
    return std::nullopt;
}

std::vector<DevNode> PnpManager::devNodes() {
    std::lock_guard g(mutex_);
    std::vector<DevNode> out;
    for (auto& n : nodes_)
        out.push_back(*n);
    return out;
}

std::u16string PnpManager::enumKeyPath(PDEVICE_OBJECT pdo) {
    std::lock_guard g(mutex_);
    DevNode* n = find(pdo);
    return n ? kEnumPath + u"\\" + n->description.instanceId : std::u16string();
}

void PnpManager::setState(PDEVICE_OBJECT pdo, DevNodeState state) {
    std::lock_guard g(mutex_);
    if (DevNode* n = find(pdo))
        n->state = state;
}

void PnpManager::addToServiceEnum(const std::u16string& service, const std::u16string& instanceId) {
    auto& reg = machine_.registry();
    std::u16string key = kServicesPath + u"\\" + service + u"\\Enum";
    // The list of the devices present is volatile, as on the platform: a
    // machine loaded from its folder starts with none.
    reg.createKey(key, true);
    uint32_t count = reg.dword(key, u"Count").value_or(0);
    for (uint32_t i = 0; i < count; ++i)
        if (equalsNoCase(reg.string(key, decimal(i)).value_or(u""), instanceId))
            return;
    reg.setString(key, decimal(count), instanceId);
    reg.setDword(key, u"Count", count + 1);
    reg.setDword(key, u"NextInstance", count + 1);
}

void PnpManager::removeFromServiceEnum(const std::u16string& service, const std::u16string& instanceId) {
    auto& reg = machine_.registry();
    std::u16string key = kServicesPath + u"\\" + service + u"\\Enum";
    uint32_t count = reg.dword(key, u"Count").value_or(0);
    std::vector<std::u16string> left;
    for (uint32_t i = 0; i < count; ++i) {
        auto v = reg.string(key, decimal(i)).value_or(u"");
        if (!equalsNoCase(v, instanceId))
            left.push_back(v);
        reg.deleteValue(key, decimal(i));
    }
    for (uint32_t i = 0; i < left.size(); ++i)
        reg.setString(key, decimal(i), left[i]);
    reg.setDword(key, u"Count", uint32_t(left.size()));
    reg.setDword(key, u"NextInstance", uint32_t(left.size()));
}

NTSTATUS PnpManager::sendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare,
                             ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = machine_.io().allocateIrp(top->StackSize, IoManager::IrpKind::Thread, nullptr);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &currentThread()->kthread;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (prepare)
        prepare(sp);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else {
        status = iosb.Status;
    }
    if (information)
        *information = iosb.Information;
    ObfDereferenceObject(top);
    return status;
}

void PnpManager::setArrivalInstaller(ArrivalInstaller installer) {
    std::lock_guard g(mutex_);
    arrivalInstaller_ = std::move(installer);
}

NTSTATUS PnpManager::arrive(PDEVICE_OBJECT pdo, DeviceDescription d) {
    auto& reg = machine_.registry();
    std::function<void(const std::u16string&)> afterInstall;
    if (!reg.exists(kEnumPath + u"\\" + d.instanceId)) {
        ArrivalInstaller installer;
        {
            std::lock_guard g(mutex_);
            installer = arrivalInstaller_;
        }
        if (installer)
            afterInstall = installer(pdo, d);
    }
    std::u16string service;
    GUID classGuid = d.classGuid;
    {
        std::lock_guard g(mutex_);
        if (find(pdo))
            return STATUS_OBJECT_NAME_COLLISION;
        std::vector<std::u16string> ids = d.hardwareIds;
        ids.insert(ids.end(), d.compatibleIds.begin(), d.compatibleIds.end());
        for (auto& id : ids) {
            for (auto& [bound, svc] : bindings_)
                if (bound == upcased(id)) {
                    service = svc;
                    break;
                }
            if (!service.empty())
                break;
        }
        auto node = std::make_unique<DevNode>();
        node->description = d;
        node->pdo = pdo;
        node->service = service;
        nodes_.push_back(std::move(node));
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    std::u16string key = kEnumPath + u"\\" + d.instanceId;
    reg.createKey(key + u"\\Device Parameters");
    reg.setMultiString(key, u"HardwareID", d.hardwareIds);
    if (!d.compatibleIds.empty())
        reg.setMultiString(key, u"CompatibleIDs", d.compatibleIds);
    if (!d.locationInformation.empty())
        reg.setString(key, u"LocationInformation", d.locationInformation);
    if (!d.deviceDescription.empty())
        reg.setString(key, u"DeviceDesc", d.deviceDescription);
    if (!d.manufacturer.empty())
        reg.setString(key, u"Mfg", d.manufacturer);
    reg.setDword(key, u"ConfigFlags", 0);
    if (service.empty())
        return STATUS_SUCCESS;   // no driver for it yet
    GUID zero{};
    const bool classGiven = memcmp(&classGuid, &zero, sizeof zero) != 0;
    std::u16string classText = classGiven ? guidText(classGuid)
                                          : reg.string(kServicesPath + u"\\" + service, u"ClassGUID").value_or(u"{00000000-0000-0000-0000-000000000000}");
    // Installed now: the installer names the setup class, or the device has
    // never had a driver. A device plugged in again keeps what it was given.
    const bool installing = classGiven || !reg.value(key, u"Driver");
    uint32_t index;
    {
        std::lock_guard g(mutex_);
        index = classInstances_[upcased(classText)]++;
        char buf[8];
        snprintf(buf, sizeof buf, "%04u", index);
        find(pdo)->driverKey = classText + u"\\" + fromUtf8(buf);
    }
    reg.setString(key, u"Service", service);
    reg.setString(key, u"ClassGUID", classText);
    if (!d.className.empty())
        reg.setString(key, u"Class", d.className);
    reg.setString(key, u"Driver", find(pdo)->driverKey);
    reg.createKey(kControlPath + u"\\Class\\" + find(pdo)->driverKey);
    if (afterInstall)
        afterInstall(find(pdo)->driverKey);
    if (installing && equalsNoCase(classText, guidText(kPortsClass)))
        installPort(key);

    NTSTATUS status = loadDriver(service);
    if (!NT_SUCCESS(status)) {
        setState(pdo, DevNodeState::Failed);
        return status;
    }
    DriverImage* img = image(service);
    PDRIVER_OBJECT drv = img->driverObject();
    addToServiceEnum(service, d.instanceId);
    status = drv->DriverExtension->AddDevice ? callDriver(drv->DriverExtension->AddDevice, drv, pdo) : STATUS_SUCCESS;
    if (currentThread()->irql != PASSIVE_LEVEL) {
        machine_.verifier().report("AddDevice returned at IRQL " + std::to_string(currentThread()->irql));
        currentThread()->irql = PASSIVE_LEVEL;
    }
    if (!NT_SUCCESS(status)) {
        removeFromServiceEnum(service, d.instanceId);
        setState(pdo, DevNodeState::Failed);
        {
            std::lock_guard g(mutex_);
            find(pdo)->lastStatus = status;
        }
        maybeUnload(service);
        return status;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    if (top != pdo && (top->Flags & DO_DEVICE_INITIALIZING))
        machine_.verifier().report("AddDevice returned without clearing DO_DEVICE_INITIALIZING");
    setState(pdo, DevNodeState::Added);
    status = sendPnp(pdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources = nullptr;
        sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    {
        std::lock_guard g(mutex_);
        find(pdo)->lastStatus = status;
    }
    if (!NT_SUCCESS(status)) {
        // A failed start is torn down with IRP_MN_REMOVE_DEVICE.
        sendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        removeFromServiceEnum(service, d.instanceId);
        setState(pdo, DevNodeState::Failed);
        maybeUnload(service);
        return status;
    }
    setState(pdo, DevNodeState::Started);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    if (NT_SUCCESS(sendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                           [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; }))) {
        std::lock_guard g(mutex_);
        find(pdo)->capabilities = caps;
    }
    return STATUS_SUCCESS;
}

// The Ports class installer: the device keeps the COM name it has or gets the
// lowest free one, and its friendly name shows it.
void PnpManager::installPort(const std::u16string& enumKey) {
    auto& reg = machine_.registry();
    const std::u16string hardwareKey = enumKey + u"\\Device Parameters";
    ComDatabase db(reg);
    std::u16string name = portNameOf(reg, hardwareKey);
    if (!name.empty()) {
        if (uint32_t n = comNumber(name))
            db.claim(n);
    } else if (uint32_t n = db.lowestFree()) {
        db.claim(n);
        name = u"COM" + decimal(n);
        reg.setString(hardwareKey, u"PortName", name);
    } else {
        return;   // every COM name is taken: the port has none
    }
    db.save();
    auto description = reg.string(enumKey, u"DeviceDesc");
    if (description && !description->empty())
        reg.setString(enumKey, u"FriendlyName", *description + u" (" + name + u")");
}

// Uninstalling a port gives its COM name back to the database.
void PnpManager::releasePortName(const std::u16string& enumKey) {
    auto& reg = machine_.registry();
    if (!equalsNoCase(reg.string(enumKey, u"ClassGUID").value_or(u""), guidText(kPortsClass)))
        return;
    if (uint32_t n = comNumber(portNameOf(reg, enumKey + u"\\Device Parameters"))) {
        ComDatabase db(reg);
        db.release(n);
        db.save();
    }
}

NTSTATUS PnpManager::uninstallDevice(PDEVICE_OBJECT pdo) {
    return sync([&]() -> NTSTATUS {
        std::optional<DevNode> node = devNode(pdo);
        if (!node)
            return STATUS_NO_SUCH_DEVICE;
        if (hasStack(node->state)) {
            NTSTATUS status = removeDevice(pdo);
            if (!NT_SUCCESS(status))
                return status;
        }
        auto& reg = machine_.registry();
        const std::u16string enumKey = kEnumPath + u"\\" + node->description.instanceId;
        releasePortName(enumKey);
        if (!node->driverKey.empty())
            reg.deleteTree(kControlPath + u"\\Class\\" + node->driverKey);
        reg.deleteTree(enumKey);
        return STATUS_SUCCESS;
    });
}

static bool stackHasOpenFiles(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
        if (d->ReferenceCount > 0)
            return true;
    return false;
}

NTSTATUS PnpManager::removeStack(DevNode& node, bool surprise) {
    PDEVICE_OBJECT pdo = node.pdo;
    std::u16string service = node.service;
    std::u16string instance = node.description.instanceId;
    bool hasDriver = node.state == DevNodeState::Added || node.state == DevNodeState::Started ||
                     node.state == DevNodeState::Stopped || node.state == DevNodeState::StopPending ||
                     node.state == DevNodeState::RemovePending || node.state == DevNodeState::SurpriseRemoved;
    if (!hasDriver)
        return STATUS_SUCCESS;
    if (surprise && node.state != DevNodeState::SurpriseRemoved) {
        sendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, {}, nullptr);
        setState(pdo, DevNodeState::SurpriseRemoved);
        if (stackHasOpenFiles(pdo)) {
            std::lock_guard g(mutex_);
            find(pdo)->removeWhenClosed = true;
            return STATUS_PENDING;
        }
    }
    NTSTATUS status = sendPnp(pdo, IRP_MN_REMOVE_DEVICE, {}, nullptr);
    setState(pdo, DevNodeState::Removed);
    removeFromServiceEnum(service, instance);
    maybeUnload(service);
    return status;
}

void PnpManager::unplug(PDEVICE_OBJECT pdo) {
    DevNode* n;
    {
        std::lock_guard g(mutex_);
        n = find(pdo);
    }
    if (!n)
        return;
    NTSTATUS s = removeStack(*n, true);
    if (s == STATUS_PENDING)
        return;   // the REMOVE follows the last close
    machine_.io().dropInterfacesOf(pdo);
    std::lock_guard g(mutex_);
    std::erase_if(nodes_, [&](auto& p) { return p->pdo == pdo; });
}

void PnpManager::fileClosed(PDEVICE_OBJECT device) {
    if (shutDown_)
        return;
    post([this] {
        std::vector<PDEVICE_OBJECT> ready;
        {
            std::lock_guard g(mutex_);
            for (auto& n : nodes_)
                if (n->removeWhenClosed && !stackHasOpenFiles(n->pdo))
                    ready.push_back(n->pdo);
        }
        for (PDEVICE_OBJECT pdo : ready) {
            {
                std::lock_guard g(mutex_);
                find(pdo)->removeWhenClosed = false;
            }
            unplug(pdo);
        }
    });
}

void PnpManager::deviceArrivedAsync(PDEVICE_OBJECT pdo, DeviceDescription description) {
    post([this, pdo, d = std::move(description)] { arrive(pdo, d); });
}

void PnpManager::deviceRemovedAsync(PDEVICE_OBJECT pdo) {
    post([this, pdo] { unplug(pdo); });
}

NTSTATUS PnpManager::deviceArrived(PDEVICE_OBJECT pdo, DeviceDescription description) {
    return sync([&] { return arrive(pdo, description); });
}

void PnpManager::deviceRemoved(PDEVICE_OBJECT pdo) {
    sync([&] {
        unplug(pdo);
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpManager::startDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_START_DEVICE);
        if (NT_SUCCESS(s))
            setState(pdo, DevNodeState::Started);
        return s;
    });
}

NTSTATUS PnpManager::queryStopDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
        if (NT_SUCCESS(s))
            setState(pdo, DevNodeState::StopPending);
        return s;
    });
}

NTSTATUS PnpManager::cancelStopDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        setState(pdo, DevNodeState::Started);
        return s;
    });
}

NTSTATUS PnpManager::stopDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_STOP_DEVICE);
        setState(pdo, DevNodeState::Stopped);
        return s;
    });
}

NTSTATUS PnpManager::queryRemoveDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (NT_SUCCESS(s))
            setState(pdo, DevNodeState::RemovePending);
        return s;
    });
}

NTSTATUS PnpManager::cancelRemoveDevice(PDEVICE_OBJECT pdo) {
    return sync([&] {
        NTSTATUS s = sendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        setState(pdo, DevNodeState::Started);
        return s;
    });
}

NTSTATUS PnpManager::removeDevice(PDEVICE_OBJECT pdo) {
    return sync([&]() -> NTSTATUS {
        DevNode* n;
        {
            std::lock_guard g(mutex_);
            n = find(pdo);
        }
        if (!n)
            return STATUS_NO_SUCH_DEVICE;
        NTSTATUS s = sendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(s)) {
            sendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return s;
        }
        setState(pdo, DevNodeState::RemovePending);
        return removeStack(*n, false);
    });
}

NTSTATUS PnpManager::surpriseRemoveDevice(PDEVICE_OBJECT pdo) {
    return sync([&]() -> NTSTATUS {
        NTSTATUS s = sendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
        setState(pdo, DevNodeState::SurpriseRemoved);
        return s;
    });
}

NTSTATUS PnpManager::queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps) {
    return sync([&] {
        memset(caps, 0, sizeof *caps);
        caps->Size = sizeof *caps;
        caps->Version = 1;
        caps->Address = 0xFFFFFFFF;
        caps->UINumber = 0xFFFFFFFF;
        return sendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = caps; });
    });
}

void PnpManager::shutdown() {
    if (!pnpThread_)
        return;
    // A request completing on the DPC thread may be the last one of a file
    // whose handle is already closed; its completion hands the file's close
    // to the system worker. Both finish while the drivers are still there.
    machine_.dispatcher().flushDpcs(currentThread());
    workThread_->waitIdle(currentThread());
    sync([&] {
        std::vector<PDEVICE_OBJECT> pdos;
        {
            std::lock_guard g(mutex_);
            for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it)
                pdos.push_back((*it)->pdo);
        }
        for (PDEVICE_OBJECT pdo : pdos) {
            DevNode* n;
            {
                std::lock_guard g(mutex_);
                n = find(pdo);
            }
            if (n)
                removeStack(*n, false);
        }
        std::lock_guard g(mutex_);
        for (auto& [_, s] : services_)
            if (s.loaded)
                doUnload(s);
        return STATUS_SUCCESS;
    });
    shutDown_ = true;
    {
        std::lock_guard g(mutex_);
        for (auto& [_, drv] : busDrivers_)
            machine_.objects().dereference(drv, "shutdown");
        busDrivers_.clear();
    }
    workThread_->waitIdle(currentThread());
    pnpThread_->stop();
    workThread_->stop();
}

} // namespace host

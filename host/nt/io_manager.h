// The I/O manager's host side: IRP bookkeeping for the verifier, device
// objects and interfaces, and files opened on devices (the way applications
// and tests send requests through a device stack).
#pragma once

#include <wdm.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace host {

class Machine;

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// A request started on a file and not waited for yet.
class PendingIo {
public:
    ~PendingIo();
    bool done() const;
    // Waits (through the dispatcher: machine time) for completion; with a
    // time-out, returns status STATUS_TIMEOUT if it has not completed by then.
    IoResult wait(std::optional<uint64_t> timeout100ns = std::nullopt);
    // IoCancelIrp on the request; false when it had already completed or was
    // not cancellable.
    bool cancel();
    IoResult result() const;
    // What IoCallDriver returned when the request was sent.
    NTSTATUS callStatus() const { return callStatus_; }

private:
    friend class IoManager;
    friend class DeviceFile;
    Machine* machine_ = nullptr;
    PIRP irp_ = nullptr;
    NTSTATUS callStatus_ = STATUS_PENDING;
    // Runs once when the request comes back to the I/O manager, on the
    // completing thread (at up to DISPATCH_LEVEL), after the caller's buffer
    // and status block are filled and before done() turns true.
    std::function<void(PIRP)> onComplete_;
    KEVENT event_{};
    IO_STATUS_BLOCK iosb_{};
    std::vector<uint8_t> keep_;   // holds an input buffer alive while the request runs
};

// A file object opened on a device (IRP_MJ_CREATE sent to the top of the
// stack of the device a path names); closing sends IRP_MJ_CLEANUP and then,
// as the platform does, IRP_MJ_CLOSE only once no request of the file is
// outstanding: close() waits (in machine time) for the requests its cleanup
// did not end. Calls are made from a thread attached to the machine.
class DeviceFile {
public:
    static NTSTATUS open(Machine& machine, const std::u16string& path, std::unique_ptr<DeviceFile>* file,
                         ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
    ~DeviceFile();

    IoResult read(void* buffer, ULONG length);
    IoResult write(const void* buffer, ULONG length);
    IoResult ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
    IoResult internalIoctl(ULONG code, PVOID argument1, PVOID argument2 = nullptr);

    std::shared_ptr<PendingIo> startRead(void* buffer, ULONG length);
    std::shared_ptr<PendingIo> startWrite(const void* buffer, ULONG length);
    std::shared_ptr<PendingIo> startIoctl(ULONG code, const void* input, ULONG inputLength, void* output,
                                          ULONG outputLength);
    // Any request, built by the caller on the file's stack (stack location filled
    // by `prepare`).
    std::shared_ptr<PendingIo> start(UCHAR major, UCHAR minor, const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);

    NTSTATUS close();
    PFILE_OBJECT fileObject() const { return file_; }
    PDEVICE_OBJECT device() const { return device_; }

private:
    DeviceFile() = default;
    std::shared_ptr<PendingIo> track(std::shared_ptr<PendingIo> io);
    Machine* machine_ = nullptr;
    std::mutex mutex_;
    std::vector<std::weak_ptr<PendingIo>> started_;   // requests sent on the file
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;   // top of the stack the file was opened on
};

class IoManager {
public:
    explicit IoManager(Machine& machine);
    ~IoManager();

    // IRP bookkeeping.
    enum class IrpKind { Driver, Thread, Embedded, Host };
    PIRP allocateIrp(CCHAR stackSize, IrpKind kind, const void* caller);
    void freeIrp(PIRP irp);
    bool isLive(PIRP irp);
    std::optional<IrpKind> kindOf(PIRP irp);
    void trackEmbedded(PIRP irp);
    void forgetIrpsIn(const void* begin, size_t size);
    // Completes the last step of a request that came back to the I/O manager.
    void finishIrp(PIRP irp);
    void attachPending(PIRP irp, PendingIo* pending);
    // The guard location past an IRP's last stack location was written to
    // (false for an IRP that is no longer allocated).
    bool guardBroken(PIRP irp);
    static constexpr UCHAR kGuardByte = 0xA5;
    std::vector<std::string> irpsOwnedBy(const void* imageBase);
    size_t liveIrpCount();

    // Request list entries. Tail.Overlay.ListEntry belongs to the driver
    // that holds the request; once the request is completed or freed, no
    // list may link it any more. From then on the entry points at
    // deadLink_ and its links are kept here, so that a list helper that
    // meets it fails its check (FatalListEntryError). A freed request's
    // memory is kept, filled with 0x6B, for the last kFreedIrpsKept frees,
    // so that a list still linking it meets that mark and not reused memory.
    void poisonListEntry(PIRP irp);
    struct DeadListEntry {
        PIRP irp;
        bool freed;
    };
    // When entry is a completed or freed request's list entry still marked
    // so: takes it out of the list it was left in (its neighbours are linked
    // to each other again) and leaves it pointing to itself.
    std::optional<DeadListEntry> unlinkDeadListEntry(PLIST_ENTRY entry);
    static constexpr size_t kFreedIrpsKept = 256;

    // The system cancel spin lock.
    KSPIN_LOCK cancelLock = 0;

    // Device objects.
    struct DeviceRec {
        std::u16string name;
        bool deleted = false;
        size_t allocationSize = 0;
    };
    void addDevice(PDEVICE_OBJECT device, std::u16string name, size_t size);
    std::optional<DeviceRec> deviceRec(PDEVICE_OBJECT device);
    void markDeleted(PDEVICE_OBJECT device);
    std::u16string deviceName(PDEVICE_OBJECT device);
    std::vector<PDEVICE_OBJECT> devices();
    uint32_t nextAutoName() { return ++autoName_; }

    // Device interfaces.
    struct Interface {
        std::u16string link;
        GUID classGuid;
        PDEVICE_OBJECT pdo;
        bool enabled = false;
    };
    std::u16string registerInterface(PDEVICE_OBJECT pdo, const std::u16string& instanceId, const GUID& guid,
                                     const std::u16string& reference);
    NTSTATUS setInterfaceState(const std::u16string& link, bool enable);
    std::vector<Interface> interfaces(const GUID* classGuid = nullptr, bool enabledOnly = true);
    void dropInterfacesOf(PDEVICE_OBJECT pdo);

    // Files on devices. The options are those of IRP_MJ_CREATE (the create
    // disposition and options, the share access); FILE_SYNCHRONOUS_IO_ALERT
    // or _NONALERT makes the file object synchronous (FO_SYNCHRONOUS_IO).
    struct OpenOptions {
        ULONG disposition = FILE_OPEN;
        ULONG createOptions = 0;
        USHORT shareAccess = 0;
    };
    NTSTATUS openFileObject(const std::u16string& path, ACCESS_MASK access, PFILE_OBJECT* file,
                            PDEVICE_OBJECT* top, const OpenOptions& options);
    NTSTATUS openFileObject(const std::u16string& path, ACCESS_MASK access, PFILE_OBJECT* file,
                            PDEVICE_OBJECT* top) {
        return openFileObject(path, access, file, top, OpenOptions{});
    }
    // IRP_MJ_CLEANUP and IRP_MJ_CLOSE. The two steps apart: cleanup when
    // the last handle goes, release (IRP_MJ_CLOSE, the file object freed)
    // once no request refers to the file any more.
    NTSTATUS closeFileObject(PFILE_OBJECT file);
    NTSTATUS cleanupFileObject(PFILE_OBJECT file);
    NTSTATUS releaseFileObject(PFILE_OBJECT file);
    // Synchronous request on a file object (ZwReadFile and friends on device handles).
    IoResult sendSync(PFILE_OBJECT file, UCHAR major, UCHAR minor, ULONG code, const void* input, ULONG inputLength,
                      void* output, ULONG outputLength, LONGLONG offset = 0);
    std::shared_ptr<PendingIo> sendAsync(PFILE_OBJECT file, UCHAR major, UCHAR minor, ULONG code, const void* input,
                                         ULONG inputLength, void* output, ULONG outputLength,
                                         const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare = {},
                                         std::function<void(PIRP)> onComplete = {});

private:
    struct IrpRec {
        IrpKind kind;
        const void* owner;
        size_t size;
        PendingIo* pending = nullptr;
        LIST_ENTRY links{};   // the list entry's links when it was marked dead
    };
    struct FreedIrp {
        PIRP irp;
        size_t size;          // with the guard location
        LIST_ENTRY links;
    };
    bool isDeadMark(PLIST_ENTRY entry) const { return entry->Flink == &deadLink_ && entry->Blink == &deadLink_; }
    LIST_ENTRY* deadLinksOf(PLIST_ENTRY entry, DeadListEntry* info);   // under mutex_
    void releaseFreedIrp(const FreedIrp& freed);
    Machine& machine_;
    std::mutex mutex_;
    std::map<PIRP, IrpRec> irps_;
    std::deque<FreedIrp> freedIrps_;
    // What a dead list entry points at; its own links are null, so a walk
    // that follows them goes no further.
    LIST_ENTRY deadLink_{nullptr, nullptr};
    std::map<PDEVICE_OBJECT, DeviceRec> devices_;
    std::map<std::u16string, Interface> interfaces_;   // by upper-cased link
    uint32_t autoName_ = 0;
};

} // namespace host

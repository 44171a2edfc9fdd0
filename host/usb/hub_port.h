// Internal to host/usb: one device on a hub port as the bus driver keeps it
// (its PDO, the selected configuration and pipes, transfers in flight and
// injected faults), and the hub that owns the ports.
#pragma once

#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "model/controller.h"

namespace host {
class Machine;
}

namespace host::usb {

// Faults waiting for the next transfers of a device or of one pipe.
struct FaultPlan {
    int failCount = 0;
    USBD_STATUS failStatus = USBD_STATUS_SUCCESS;
    int holdCount = 0;
    int delayCount = 0;
    uint64_t delay = 0;
};

struct Pipe {
    USBD_PIPE_INFORMATION info{};
    FaultPlan faults;
    bool current = true;   // belongs to the selected configuration
};

class HubState;

class HubPort : public std::enable_shared_from_this<HubPort> {
public:
    HubPort(std::weak_ptr<HubState> hub, int hubNumber, Machine& machine, int port, zmodel::UsbDevice& device);
    ~HubPort();

    int port() const { return port_; }
    int hubNumber() const { return hubNumber_; }
    PDEVICE_OBJECT pdo() const { return pdo_; }
    void setPdo(PDEVICE_OBJECT pdo) { pdo_ = pdo; }
    // Deletes the PDO (once; PASSIVE_LEVEL) and leaves the hub. The port
    // record lives on while someone still holds it.
    void deletePdo();
    zmodel::UsbDevice* device();
    uint64_t urbCount();
    uint64_t controlTransferCount();
    // Pipe resets (and stall clears) the function driver asked for.
    uint64_t pipeResetCount();

    // IRP_MJ_INTERNAL_DEVICE_CONTROL on the PDO.
    NTSTATUS internalControl(PIRP irp);

    // The device left its hub port: pending transfers fail, later ones find
    // the device gone.
    void deviceGone();

    // Fault injection (endpoint 0 = the default pipe).
    void failNext(int count, USBD_STATUS status, int endpoint = -1);
    void holdNext(int count, int endpoint = -1);
    void delayNext(int count, uint64_t duration);

    // IRP_MJ_POWER on the PDO: system and device power states of the
    // device's port. A device below D0, or any device while the machine
    // sleeps, is suspended; resuming it takes kResumeTime, after which the
    // D0 request completes (from the DPC context, as the hub's resume
    // signalling ends). IRP_MN_WAIT_WAKE stays pending until a remote
    // wake-up, a cancel or the device's departure.
    NTSTATUS power(PIRP irp);
    static constexpr uint64_t kResumeTime = 30 * 10000;   // 20 ms resume signalling + 10 ms recovery

    // Selective suspend. The function driver's idle request stays pending;
    // the hub calls its callback (at PASSIVE_LEVEL, from the system worker)
    // once every function of the controller is idle: it has an idle request
    // pending, is already suspended, or has no function driver running.
    // The request completes when the device must wake: with STATUS_SUCCESS
    // when the driver resumes it (D0), STATUS_CANCELLED on a remote wake-up
    // or a cancel.
    bool idleReady();
    // The idle callback to call now (its request pending and not yet called
    // back), marked as called.
    std::optional<USB_IDLE_CALLBACK_INFO> takeIdleCallback(uint64_t& key);
    bool idlePending(uint64_t key);
    // The device signalled a remote wake-up.
    void remoteWakeup();
    bool suspended();
    DEVICE_POWER_STATE devicePower();
    void watchPower(std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)> watch);

    // Cancel routine entry (cancel spin lock already released).
    void cancelled(PIRP irp);

private:
    enum class Kind { Transfer, Idle, WaitWake };
    struct Pending {
        uint64_t key;
        PIRP irp;
        PURB urb;
        Pipe* pipe;                      // null for control transfers
        Kind kind = Kind::Transfer;
        USB_IDLE_CALLBACK_INFO idle{};   // an idle request's callback
        bool called = false;             // ... and whether the hub has called it
        zmodel::TransferId transfer = 0; // bulk/interrupt transfer in the model
        zmodel::UsbDevice* device = nullptr;
        PULONG lengthField = nullptr;    // the URB's TransferBufferLength, if it has one
        // Control transfers finished early whose completion is delayed.
        bool ready = false;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        ULONG length = 0;
    };

    NTSTATUS submitUrb(PIRP irp, PURB urb);
    NTSTATUS getDescriptor(PIRP irp, PURB urb);
    NTSTATUS selectConfiguration(PIRP irp, PURB urb);
    NTSTATUS controlRequest(PIRP irp, PURB urb, const zmodel::SetupPacket& setup, PVOID buffer,
                            PULONG length, bool in);
    NTSTATUS bulkOrInterrupt(PIRP irp, PURB urb);
    NTSTATUS resetPipe(PIRP irp, PURB urb);
    NTSTATUS abortPipe(PIRP irp, PURB urb);
    NTSTATUS resetPort(PIRP irp);
    NTSTATUS submitIdle(PIRP irp);
    NTSTATUS pendRequest(PIRP irp, Kind kind);
    // Suspends or resumes the device as the port's power states now ask
    // (outside the lock).
    void applySuspension();
    void resumed(PIRP irp);
    // Takes the pending requests of a kind off the list (lock held).
    std::vector<Pending> takeKind(Kind kind, bool calledOnly);

    // Takes the fault that applies to the next transfer (lock held).
    enum class Fault { None, Fail, Hold, Delay };
    Fault takeFault(Pipe* pipe, USBD_STATUS& status, uint64_t& delay);
    Pipe* findPipe(USBD_PIPE_HANDLE handle);                 // lock held
    Pipe* pipeByEndpoint(uint8_t endpoint);                  // lock held

    // Leaves the IRP pending with a cancel routine; false if it was
    // cancelled already (then it is completed here).
    NTSTATUS pend(PIRP irp, Pending entry, std::unique_lock<std::mutex>& lock);
    void transferDone(uint64_t key, zmodel::UsbResult result, uint32_t length);
    void delayedDone(uint64_t key);
    bool takePending(uint64_t key, Pending& out);            // lock held; clears the cancel routine

    std::weak_ptr<HubState> hub_;
    const int hubNumber_;
    Machine& machine_;
    const int port_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::once_flag deleted_;

    std::mutex mutex_;
    zmodel::UsbDevice* device_;
    uint8_t configurationValue_ = 0;
    std::vector<std::unique_ptr<Pipe>> pipes_;   // every pipe ever handed out
    std::list<Pending> pending_;
    uint64_t nextKey_ = 1;
    FaultPlan deviceFaults_;
    FaultPlan defaultPipeFaults_;
    uint64_t urbs_ = 0;
    uint64_t controlTransfers_ = 0;
    uint64_t pipeResets_ = 0;
    DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
    bool suspended_ = false;
    std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)> powerWatch_;
};

// The PDO's extension holds the port record: it lives as long as the PDO,
// even after the controller was unplugged.
struct PdoExtension {
    std::shared_ptr<HubPort>* port;
};

// Completes an IRP carrying a URB with the given statuses.
void completeUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);

// A function of the hub became idle-ready (an idle request, a suspension):
// when all are, the hub calls the pending idle callbacks.
void idleChanged(HubState& hub);

} // namespace host::usb

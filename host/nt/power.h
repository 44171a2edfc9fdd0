// The power manager's host interface: the device power states the drivers
// report, the rule that a device object handles one power IRP of each kind
// (system, device) at a time, and system power transitions of the whole
// machine.
//
//     machine.power().sleep(PowerSystemSleeping3);   // every stack to S3
//     machine.power().wake();                       // and back to S0
//
// A system transition sends IRP_MN_QUERY_POWER and then IRP_MN_SET_POWER to
// the top of every device stack, children before parents going down and
// parents first coming up (device nodes in the reverse of their arrival
// order going down, in arrival order coming up: a parent always arrives
// before its children). Each IRP is waited for before the next goes out.
#pragma once

#include <wdm.h>

#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace host {

class Machine;

class PowerManager {
public:
    explicit PowerManager(Machine& machine);
    ~PowerManager();

    // The machine's system power state (S0 = PowerSystemWorking).
    SYSTEM_POWER_STATE systemState();
    // Sleeps (S1 to S3), hibernates (S4) or shuts down (S5) the machine:
    // every stack is asked, then told. A stack that fails the query keeps
    // the machine in S0 (the stacks already asked get S0) and its status is
    // returned. Called from an attached thread at PASSIVE_LEVEL.
    NTSTATUS sleep(SYSTEM_POWER_STATE target);
    // Back to S0: every stack gets IRP_MN_SET_POWER for S0.
    NTSTATUS wake();

    // The device power state a driver last reported for a device object
    // with PoSetPowerState (PowerDeviceUnspecified before any report).
    DEVICE_POWER_STATE deviceState(PDEVICE_OBJECT device);

    // Kernel entry points.
    POWER_STATE setPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp);
    void startNext(PIRP irp);
    // A device object is deleted: its records go.
    void forget(PDEVICE_OBJECT device);

private:
    enum Kind { SystemKind, DeviceKind, KindCount };
    struct Record {
        DEVICE_POWER_STATE device = PowerDeviceUnspecified;
        SYSTEM_POWER_STATE system = PowerSystemUnspecified;
        bool active[KindCount] = {false, false};
        std::deque<PIRP> queued[KindCount];
    };
    // The kind of the IRP the next stack location describes, or KindCount
    // when the kind is not serialised (wait-wake, power sequence).
    static Kind kindOf(PIO_STACK_LOCATION next);
    void dispatch(PDEVICE_OBJECT device, PIRP irp, bool deferred);
    NTSTATUS sendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action);
    std::vector<PDEVICE_OBJECT> stacks();

    Machine& machine_;
    std::mutex mutex_;
    std::map<PDEVICE_OBJECT, Record> records_;
    SYSTEM_POWER_STATE system_ = PowerSystemWorking;
    POWER_ACTION lastAction_ = PowerActionNone;
    std::mutex transition_;   // one system transition at a time
};

} // namespace host

/*
 * IRP_MJ_POWER, and the device power requests the port asks the power
 * manager for. A device set-power request keeps DevicePower in step; every
 * power request then goes on to the lower driver.
 */
#include "driver.h"

/* What the waiting requester of a device power request learns. */
typedef struct _POWER_REQUEST_WAIT {
    KEVENT Done;
    NTSTATUS Status;
} POWER_REQUEST_WAIT, *PPOWER_REQUEST_WAIT;

/* Called by the power manager when the requested power IRP has completed. DISPATCH_LEVEL or below. */
static REQUEST_POWER_COMPLETE OnDevicePowerRequestDone;

static VOID OnDevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                     PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_REQUEST_WAIT wait = (PPOWER_REQUEST_WAIT)Context;
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

/*
 * Asks the power manager for a device set-power request to State on the
 * port's own stack and waits until it has completed; returns its status,
 * or the failure of the request itself. PASSIVE_LEVEL.
 */
NTSTATUS SendDeviceSetPower(PDEVICE_EXTENSION Port, DEVICE_POWER_STATE State)
{
    POWER_REQUEST_WAIT wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_SUCCESS;
    POWER_STATE state;
    state.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(Port->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        OnDevicePowerRequestDone, &wait, NULL);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, NULL);
    return wait.Status;
}

/* D0 for the port's own use (open, the WMI switches). PASSIVE_LEVEL. */
NTSTATUS RequestPowerUp(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = SendDeviceSetPower(Port, PowerDeviceD0);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

/* PASSIVE_LEVEL (the device is power pageable). */
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        port->DevicePower = stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(port->LowerDeviceObject, Irp);
}

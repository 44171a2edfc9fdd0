/*
 * Where the port sleeps and wakes: the power IRPs and their state machine,
 * the restore of the port's settings after power-up, idle power-down
 * through the USB idle notification, remote wake, the WMI blocks that
 * switch both, and the serial stack's internal requests.
 */
#pragma once

/* Idle power-down: first expiry and period of the idle timer, in ms. */
#define IDLE_TIMEOUT_MS 7000

/*
 * One record per SET_POWER or QUERY_POWER request, from non-paged pool; it
 * lives from DispatchPower until the request is finished. The machine is
 * driven by one event at a time, so the record has no lock.
 */
typedef struct _POWER_OPERATION {
    LONG Sequence;                       /* DriverGlobals.PowerOperationCount after its increment */
    PDEVICE_EXTENSION Port;
    PIRP Irp;                            /* the power IRP being handled (the main IRP) */
    LONG State;                          /* POWER_MACHINE_STATE */
    NTSTATUS Status;                     /* of the last step that completed */
    DEVICE_POWER_STATE DeviceState;      /* chosen for the device request */
    DEVICE_POWER_STATE PreviousDeviceState;
    UCHAR DeviceMinor;                   /* IRP_MN_SET_POWER or IRP_MN_QUERY_POWER */
} POWER_OPERATION, *PPOWER_OPERATION;

/* States of the power machine. */
enum POWER_MACHINE_STATE {
    PowerOpNew = 0,
    PowerOpSystemUpSent = 1,             /* system power-up IRP sent down */
    PowerOpSystemUpDone = 2,             /* ... done; the device request is outstanding */
    PowerOpDeviceDownRequested = 3,      /* device request outstanding before the system IRP goes down */
    PowerOpSystemDownSent = 4,           /* system power-down IRP sent down */
    PowerOpDeviceUpSent = 5,             /* device set-power to more power sent down */
    PowerOpDeviceDownSent = 6,           /* device set-power to equal or less power sent down */
    PowerOpDeviceQueryUpSent = 9,        /* device query for more power sent down */
    PowerOpDeviceQueryDownSent = 10,     /* device query for less power sent down */
    PowerOpDeviceExamined = 11,          /* device IRP being examined */
    PowerOpFinal = 13,
};

/* Events of the power machine. */
enum POWER_MACHINE_EVENT {
    PowerEventNewIrp = 0,                /* from DispatchPower */
    PowerEventIrpBack = 1,               /* the main IRP came back up (its completion routine) */
    PowerEventDeviceRequestDone = 2,     /* the device power request the machine asked for completed */
};

EXTERN_C_START

/*
 * power_irp.cpp. DispatchPower at PASSIVE_LEVEL (the device is power
 * pageable). SendDeviceSetPower asks for a device set-power request on the
 * port's own stack: with Wait it blocks until the request completes and
 * returns its status (PASSIVE_LEVEL); without, it returns once the request
 * is on its way (up to DISPATCH_LEVEL). RequestPowerUp is D0 and wait; a
 * request still pending counts as success.
 */
DRIVER_DISPATCH DispatchPower;
NTSTATUS SendDeviceSetPower(PDEVICE_EXTENSION Port, DEVICE_POWER_STATE State, BOOLEAN Wait);
NTSTATUS RequestPowerUp(PDEVICE_EXTENSION Port);

/*
 * restore.cpp: PASSIVE_LEVEL. The port's settings written to the UART again
 * after power-up, and the modem lines kept as the port leaves D0.
 */
VOID RestorePortSettings(PDEVICE_EXTENSION Port);
VOID SaveModemLines(PDEVICE_EXTENSION Port);

/*
 * idle.cpp. IdleTimeoutDpc and the idle request's completion run at
 * DISPATCH_LEVEL; the timer helpers, SubmitIdleRequest and
 * CancelIdleRequest up to DISPATCH_LEVEL; the bus driver calls
 * IdleCallback at PASSIVE_LEVEL.
 */
KDEFERRED_ROUTINE IdleTimeoutDpc;
VOID StartIdleTimer(PDEVICE_EXTENSION Port, BOOLEAN Periodic);
VOID CancelIdleTimer(PDEVICE_EXTENSION Port);
NTSTATUS SubmitIdleRequest(PDEVICE_EXTENSION Port);
VOID CancelIdleRequest(PDEVICE_EXTENSION Port);
/* USB_IDLE_CALLBACK has no routine type of its own: the convention is spelled out. */
VOID NTAPI IdleCallback(PVOID Context);

/*
 * wake.cpp: PASSIVE_LEVEL. The two switches ("DeviceEnable",
 * "DeviceWakeEnable") and the device's remote-wake feature.
 */
VOID SetDeviceEnable(PDEVICE_EXTENSION Port, UCHAR Value);
VOID SetDeviceWakeEnable(PDEVICE_EXTENSION Port, UCHAR Value);
NTSTATUS SetRemoteWakeFeature(PDEVICE_EXTENSION Port, BOOLEAN Set);

/* wmi.cpp, internal_control.cpp: PASSIVE_LEVEL. */
DRIVER_DISPATCH DispatchWmi;
NTSTATUS RegisterWmi(PDEVICE_EXTENSION Port);
VOID DeregisterWmi(PDEVICE_EXTENSION Port);
DRIVER_DISPATCH DispatchInternalControl;

EXTERN_C_END

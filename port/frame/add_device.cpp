/*
 * AddDevice: creation and initial state of a port record.
 */
#include "driver.h"

/* First data byte of a value of the hardware key; 0 when it is missing. */
static UCHAR QueryDeviceByte(HANDLE Key, PCWSTR ValueName)
{
    UCHAR value = 0;
    if (!NT_SUCCESS(QueryKeyValue(Key, ValueName, &value, sizeof(value), NULL)))
        value = 0;
    return value;
}

/*
 * Sets the port defaults and initialises the record's locks, events, lists,
 * timers and DPCs. The record was zero-filled by IoCreateDevice. Fails only
 * when the receive ring cannot be allocated. PASSIVE_LEVEL.
 */
NTSTATUS InitializePortRecord(PDEVICE_EXTENSION Port, PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS status = InitQueueBuffer(&Port->QueueBuffer, DEFAULT_RECEIVE_QUEUE_SIZE);
    if (!NT_SUCCESS(status))
        return status;

    Port->DeviceObject = DeviceObject;
    Port->DeviceState = PortStateStopped;
    Port->PortIndex = 0;

    Port->BaudRate = DEFAULT_BAUD_RATE;
    Port->LineControl.StopBits = STOP_BIT_1;
    Port->LineControl.Parity = NO_PARITY;
    Port->LineControl.WordLength = DEFAULT_WORD_LENGTH;
    Port->SpecialChars.XonChar = DEFAULT_XON_CHAR;
    Port->SpecialChars.XoffChar = DEFAULT_XOFF_CHAR;
    Port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Port->HandFlow.XonLimit = DEFAULT_XON_LIMIT;
    Port->HandFlow.XoffLimit = DEFAULT_XOFF_LIMIT;
    /* The line clock and FIFO trigger settings the settings file may
       replace at start: the rate tables, 16x oversampling, the deepest
       receive trigger. */
    Port->BaudMode = 0xFF;
    Port->CustomClock = 0x01;
    Port->CustomDivisor = 0x01;
    Port->SampleRate = 16;
    Port->RxTriggerBits = 0xC0;
    Port->RxTriggerScale = 0x0B;
    Port->MsrPollArmed = 1;

    Port->SystemPower = PowerSystemWorking;
    WriteSharedLong(&Port->DevicePower, PowerDeviceD0);

    IoInitializeRemoveLock(&Port->RemoveLock, 0, 0, 0);
    KeInitializeSpinLock(&Port->IoCountLock);
    KeInitializeEvent(&Port->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->StopEvent, NotificationEvent, FALSE);
    KeInitializeMutex(&Port->RegisterMutex, 0);
    KeInitializeMutex(&Port->OpenCloseMutex, 0);

    KeInitializeSpinLock(&Port->QueueBufferLock);
    KeInitializeSpinLock(&Port->ReadQueueLock);
    KeInitializeSpinLock(&Port->ReadServiceLock);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    KeInitializeSpinLock(&Port->TransferLock);
    KeInitializeSpinLock(&Port->IdleLock);
    InitializeListHead(&Port->ReadQueue);
    InitializeListHead(&Port->WriteQueue);

    KeInitializeTimer(&Port->ReadTimer);
    KeInitializeDpc(&Port->ReadTimerDpc, ReadTimeoutDpc, Port);
    KeInitializeTimer(&Port->WriteTimer);
    KeInitializeDpc(&Port->WriteTimerDpc, WriteTimeoutDpc, Port);
    KeInitializeTimerEx(&Port->IdleTimer, NotificationTimer);
    KeInitializeDpc(&Port->IdleTimerDpc, IdleTimeoutDpc, Port);
    KeInitializeEvent(&Port->IdleDpcIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&Port->IdleDoneEvent, NotificationEvent, TRUE);

    /* The workers' events exist from the start so that open can signal them. */
    KeInitializeEvent(&Port->ReadKillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->ReadEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->WriteKillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->WriteEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->InterruptKillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->InterruptEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->MsrKillEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->MsrEvent, SynchronizationEvent, FALSE);

    Port->BulkInContext.Idle = 1;
    Port->BulkInContext.DeviceObject = DeviceObject;
    Port->BulkInContext.Buffer = Port->BulkInBuffer;
    Port->BulkInContext.BufferLength = sizeof(Port->BulkInBuffer);
    Port->InterruptInContext.Idle = 1;
    Port->InterruptInContext.DeviceObject = DeviceObject;
    Port->InterruptInContext.Buffer = Port->InterruptInBuffer;
    Port->InterruptInContext.BufferLength = sizeof(Port->InterruptInBuffer);
    Port->BulkOutContext.Idle = 1;
    Port->BulkOutContext.DeviceObject = DeviceObject;
    return STATUS_SUCCESS;
}

/*
 * Undoes a partly built port after a failed AddDevice: the names, the
 * private interface, the ring, the attachment and the device object.
 * Nothing touches the record after the device object is deleted.
 */
static VOID TearDownPort(PDEVICE_EXTENSION Port)
{
    PDEVICE_OBJECT deviceObject = Port->DeviceObject;
    UnnamePort(Port);
    if (Port->InterfaceName.Buffer != NULL)
        RtlFreeUnicodeString(&Port->InterfaceName);
    if (Port->RestoreWorkItem != NULL)
        IoFreeWorkItem(Port->RestoreWorkItem);
    FreeQueueBuffer(&Port->QueueBuffer);
    FreeUnicodeString(&Port->DeviceName);
    if (Port->LowerDeviceObject != NULL)
        IoDetachDevice(Port->LowerDeviceObject);
    IoDeleteDevice(deviceObject);
}

/* Called once for every UART device. PASSIVE_LEVEL. */
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    WriteSharedLong(&DriverGlobals.ReceiveEnabled, 1);

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = CreatePortDevice(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_EXTENSION port = PortFromDevice(deviceObject);

    deviceObject->Flags |= DO_POWER_PAGABLE;
    port->PhysicalDeviceObject = PhysicalDeviceObject;
    deviceObject->Flags |= DO_BUFFERED_IO;

    port->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (port->LowerDeviceObject == NULL) {
        TearDownPort(port);
        return STATUS_DEVICE_REMOVED;
    }
    /* A power-up that comes back above PASSIVE_LEVEL finishes on this work item. */
    port->RestoreWorkItem = IoAllocateWorkItem(deviceObject);
    if (port->RestoreWorkItem == NULL) {
        TearDownPort(port);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    /* A port without external names can still be opened by its interface. */
    NamePort(port);

    HANDLE key = NULL;
    status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                     KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        TearDownPort(port);
        return status;
    }
    WriteSharedLong(&port->DeviceWakeEnable, QueryDeviceByte(key, L"DeviceWakeEnable"));
    WriteSharedLong(&port->DeviceEnable, QueryDeviceByte(key, L"DeviceEnable"));
    ZwClose(key);

    deviceObject->Flags |= DO_POWER_PAGABLE;
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_ZEPHAN_PORT_INTERFACE, NULL,
                                       &port->InterfaceName);
    if (!NT_SUCCESS(status)) {
        TearDownPort(port);
        return status;
    }

    port->Started = 0;
    port->SystemPower = PowerSystemWorking;
    WriteSharedLong(&port->DevicePower, PowerDeviceD0);
    WriteSharedLong(&port->RestoreNeeded, 0);
    WriteSharedLong(&port->PowerDownSeen, 0);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, state);

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    IncrementIoCount(port);
    port->WhqlTestMode =
        NT_SUCCESS(QueryRegistryValue(L"WHQLTest", SERIAL_SERVICE_KEY_PATH, NULL, 0, NULL)) ? 1 : 0;
    return STATUS_SUCCESS;
}

/*
 * IRP_MJ_SYSTEM_CONTROL: the port's WMI data blocks, through the WMI
 * library. Block 0 is the serial port name (registered, never answered);
 * blocks 1 and 2, on chips that have them, are the idle power-down and wake
 * switches, one byte each, read and set by WMI consumers.
 */
#include "../frame/driver.h"
#include <wmistr.h>

static WMI_QUERY_REGINFO_CALLBACK QueryPortRegInfo;
static WMI_QUERY_DATABLOCK_CALLBACK QueryPortDataBlock;
static WMI_SET_DATABLOCK_CALLBACK SetPortDataBlock;
static WMI_SET_DATAITEM_CALLBACK SetPortDataItem;
static WMI_EXECUTE_METHOD_CALLBACK ExecutePortMethod;
static WMI_FUNCTION_CONTROL_CALLBACK ControlPortFunction;

static const GUID GUID_ZEPHAN_WMI_PORT_NAME =
    { 0x8209EC2A, 0x2D6B, 0x11D2, { 0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10 } };
static const GUID GUID_ZEPHAN_WMI_POWER_DEVICE_ENABLE =
    { 0x827C0A6F, 0xFEB0, 0x11D0, { 0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A } };
static const GUID GUID_ZEPHAN_WMI_POWER_DEVICE_WAKE_ENABLE =
    { 0xA9546A82, 0xFEB0, 0x11D0, { 0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A } };

/* The blocks in index order. */
enum PORT_WMI_BLOCK {
    PortWmiPortName = 0,
    PortWmiDeviceEnable = 1,
    PortWmiDeviceWakeEnable = 2,
};

static WMIGUIDREGINFO PortWmiGuids[] = {
    { &GUID_ZEPHAN_WMI_PORT_NAME, 1, WMIREG_FLAG_INSTANCE_PDO },
    { &GUID_ZEPHAN_WMI_POWER_DEVICE_ENABLE, 1, WMIREG_FLAG_INSTANCE_PDO },
    { &GUID_ZEPHAN_WMI_POWER_DEVICE_WAKE_ENABLE, 1, WMIREG_FLAG_INSTANCE_PDO },
};

/* The name of the port's MOF resource. */
#define PORT_MOF_RESOURCE_NAME L"MofResource"

/*
 * Registers the port with WMI: only the port-name block on a chip of
 * revision 0, all three otherwise. PASSIVE_LEVEL.
 */
NTSTATUS RegisterWmi(PDEVICE_EXTENSION Port)
{
    PWMILIB_CONTEXT context = &Port->WmiLibContext;
    context->GuidCount = Port->ChipRevision == 0 ? 1 : sizeof(PortWmiGuids) / sizeof(PortWmiGuids[0]);
    context->GuidList = PortWmiGuids;
    context->QueryWmiRegInfo = QueryPortRegInfo;
    context->QueryWmiDataBlock = QueryPortDataBlock;
    context->SetWmiDataBlock = SetPortDataBlock;
    context->SetWmiDataItem = SetPortDataItem;
    context->ExecuteWmiMethod = ExecutePortMethod;
    context->WmiFunctionControl = ControlPortFunction;
    return IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_REGISTER);
}

/* PASSIVE_LEVEL. */
VOID DeregisterWmi(PDEVICE_EXTENSION Port)
{
    if (Port->WmiLibContext.GuidList == NULL)
        return;
    IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_DEREGISTER);
    Port->WmiLibContext.GuidList = NULL;
    Port->WmiLibContext.GuidCount = 0;
}

/* The switch a block carries: DeviceEnable or DeviceWakeEnable. */
static volatile LONG *BlockSwitch(PDEVICE_EXTENSION Port, ULONG GuidIndex)
{
    return GuidIndex == PortWmiDeviceEnable ? &Port->DeviceEnable : &Port->DeviceWakeEnable;
}

/* Registration: instances named after the PDO, the driver's registry path and MOF. PASSIVE_LEVEL. */
static NTSTATUS QueryPortRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                 PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                                 PDEVICE_OBJECT *Pdo)
{
    UNREFERENCED_PARAMETER(InstanceName);
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &DriverGlobals.RegistryPath;
    RtlInitUnicodeString(MofResourceName, PORT_MOF_RESOURCE_NAME);
    *Pdo = port->PhysicalDeviceObject;
    return STATUS_SUCCESS;
}

/* One byte, the switch, for blocks 1 and 2 and their single instance. PASSIVE_LEVEL. */
static NTSTATUS QueryPortDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                   ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                   PUCHAR Buffer)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status;
    ULONG size = 0;
    if (GuidIndex != PortWmiDeviceEnable && GuidIndex != PortWmiDeviceWakeEnable) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (InstanceIndex != 0 || InstanceCount != 1) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (InstanceLengthArray == NULL || BufferAvail < sizeof(UCHAR)) {
        status = STATUS_BUFFER_TOO_SMALL;
        size = sizeof(UCHAR);
    } else {
        *Buffer = (UCHAR)ReadSharedLong(BlockSwitch(port, GuidIndex));
        *InstanceLengthArray = sizeof(UCHAR);
        size = sizeof(UCHAR);
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

/*
 * Setting block 1 or 2 sets the switch; block 2 then sets or clears the
 * device's remote-wake feature, whose status is the result. PASSIVE_LEVEL.
 */
static NTSTATUS SetPortDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                 ULONG BufferSize, PUCHAR Buffer)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status;
    if (InstanceIndex != 0) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (BufferSize != sizeof(UCHAR)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else if (GuidIndex == PortWmiDeviceEnable) {
        SetDeviceEnable(port, *Buffer);
        status = STATUS_SUCCESS;
    } else if (GuidIndex == PortWmiDeviceWakeEnable) {
        SetDeviceWakeEnable(port, *Buffer);
        status = SetRemoteWakeFeature(port, *Buffer == 1);
    } else {
        status = STATUS_WMI_GUID_NOT_FOUND;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

/* As a block set, for item 1 of block 1 or 2, without the feature request. PASSIVE_LEVEL. */
static NTSTATUS SetPortDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status;
    if (InstanceIndex != 0) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (DataItemId != 1) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
    } else if (BufferSize != sizeof(UCHAR)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else if (GuidIndex == PortWmiDeviceEnable) {
        SetDeviceEnable(port, *Buffer);
        status = STATUS_SUCCESS;
    } else if (GuidIndex == PortWmiDeviceWakeEnable) {
        SetDeviceWakeEnable(port, *Buffer);
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_WMI_GUID_NOT_FOUND;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

/* The port has no WMI methods. PASSIVE_LEVEL. */
static NTSTATUS ExecutePortMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(MethodId);
    UNREFERENCED_PARAMETER(InBufferSize);
    UNREFERENCED_PARAMETER(OutBufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

/* Nor events or expensive collection to switch. PASSIVE_LEVEL. */
static NTSTATUS ControlPortFunction(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                    WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(Function);
    UNREFERENCED_PARAMETER(Enable);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

/* PASSIVE_LEVEL. */
NTSTATUS DispatchWmi(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);

    SYSCTL_IRP_DISPOSITION disposition;
    status = WmiSystemControl(&port->WmiLibContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(port->LowerDeviceObject, Irp);
        break;
    }
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}

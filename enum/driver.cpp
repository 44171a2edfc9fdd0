/*
 * The enumerator's frame: driver entry, device add, the PnP and power callbacks, file
 * objects, register access and the eight control codes.
 */
#include "enum.h"

/* {F22AA2BF-3B1F-400A-A6D9-CDF15213C2C6}: the enumerator's device interface. */
static const GUID EnumInterfaceGuid = {0xF22AA2BF, 0x3B1F, 0x400A, {0xA6, 0xD9, 0xCD, 0xF1, 0x52, 0x13, 0xC2, 0xC6}};

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EnumEvtDeviceAdd);
    config.EvtDriverUnload = NULL;
    config.DriverInitFlags = 0;
    config.DriverPoolTag = 0;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EnumEvtDriverCleanup;

    return WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
}

extern "C" VOID EnumEvtDriverCleanup(WDFOBJECT Object) {
    UNREFERENCED_PARAMETER(Object);
}

/* The device context is about to go: the bring-up thread of the last start
 * must have ended (a start whose D0 exit never came, or a failed start). */
extern "C" VOID EnumEvtDeviceCleanup(WDFOBJECT Object) {
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Object);
    if (context != NULL) {
        EnumSetStopThread(context, 1);
        EnumWaitForBringUpThread(context);
    }
}

extern "C" NTSTATUS EnumEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    PAGED_CODE();

    /* 1. PnP/power callbacks and file object callbacks. */
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPower);
    pnpPower.EvtDevicePrepareHardware = EnumEvtDevicePrepareHardware;
    pnpPower.EvtDeviceD0Entry = EnumEvtDeviceD0Entry;
    pnpPower.EvtDeviceD0Exit = EnumEvtDeviceD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPower);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EnumEvtDeviceFileCreate, EnumEvtFileClose, NULL);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    /* 2. The device, with its typed context; no name. */
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EnumEvtDeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    /* 3. */
    PDEVICE_CONTEXT context = EnumGetDeviceContext(device);

    /* 4. Interface, then the default queue only if the interface exists. */
    status = WdfDeviceCreateDeviceInterface(device, &EnumInterfaceGuid, NULL);
    if (NT_SUCCESS(status)) {
        WDF_IO_QUEUE_CONFIG queueConfig;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
        queueConfig.PowerManaged = WdfTrue;
        queueConfig.AllowZeroLengthRequests = FALSE;
        queueConfig.EvtIoDeviceControl = EnumEvtIoDeviceControl;
        queueConfig.EvtIoStop = EnumEvtIoStop;
        WDFQUEUE queue;
        (void)WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    }

    /* 5. The first free control-device name. */
    for (int n = 0; n < ENUM_MAX_SETUP_NUMBERS; ++n) {
        WCHAR name[ENUM_LINK_CHARS];
        status = RtlStringCbPrintfW(name, sizeof(name), L"%ws%d", ENUM_LINK_PREFIX, n);
        if (!NT_SUCCESS(status))
            return status;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, name);
        status = WdfDeviceCreateSymbolicLink(device, &link);
        if (NT_SUCCESS(status)) {
            context->SetupNumber = (UCHAR)n;
            return STATUS_SUCCESS;
        }
    }
    return status;
}

extern "C" NTSTATUS EnumEvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated) {
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);
    NTSTATUS status;

    /* 1. The USB target, once per device. */
    if (context->UsbDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->UsbDevice);
        if (!NT_SUCCESS(status))
            return status;
    }

    /* 2. The configuration; its status is the routine's result. */
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, NULL);
    NTSTATUS selectStatus = WdfUsbTargetDeviceSelectConfig(context->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(selectStatus))
        return selectStatus;

    /* 3. Variant and mode bits. */
    UCHAR config[2] = {0, 0};
    EnumReadRegister(Device, CHIP_CONFIG_REGISTER, 0, config, sizeof(config));
    switch (config[1] & 0x0C) {
    case 0x00: context->PortCount = 2; break;
    case 0x04: context->PortCount = 4; break;
    case 0x08: context->PortCount = 8; break;
    default: context->PortCount = 12; break;
    }
    context->ModeBits = (UCHAR)(context->PortCount == 12 ? (config[1] & 0x01) : (config[1] & 0x03));

    /* 4. Fix-ups: bit 2 on the 2- and 8-port variants, bit 3 on the 2- and 4-port ones. */
    UCHAR fixup;
    if (context->PortCount == 2 || context->PortCount == 8) {
        fixup = 0;
        EnumReadRegister(Device, VARIANT_FIXUP_REGISTER, 0, &fixup, 1);
        fixup &= 0xFB;
        EnumWriteRegister(Device, VARIANT_FIXUP_REGISTER, 0, &fixup, 1);
    }
    if (context->PortCount == 2 || context->PortCount == 4) {
        fixup = 0;
        EnumReadRegister(Device, VARIANT_FIXUP_REGISTER, 0, &fixup, 1);
        fixup &= 0xF7;
        EnumWriteRegister(Device, VARIANT_FIXUP_REGISTER, 0, &fixup, 1);
    }

    /* 5. Scratch test, then the idle settings. */
    UCHAR scratch = 0x15;
    EnumWriteRegister(Device, SCRATCH_REGISTER, 0, &scratch, 1);
    scratch = 0;
    EnumReadRegister(Device, SCRATCH_REGISTER, 0, &scratch, 1);
    if (scratch == 0x15) {
        scratch = 0x3F;
        EnumWriteRegister(Device, SCRATCH_REGISTER, 0, &scratch, 1);
        scratch = 0;
        EnumReadRegister(Device, SCRATCH_REGISTER, 0, &scratch, 1);
        if (scratch == 0x3F) {
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
            idle.DxState = PowerDeviceD3;
            idle.IdleTimeout = 10000;
            idle.UserControlOfIdleSettings = IdleAllowUserControl;
            idle.PowerUpIdleDeviceOnSystemWake = WdfTrue;
            if (NT_SUCCESS(WdfDeviceAssignS0IdleSettings(Device, &idle)))
                context->IdleEnabled = 1;
        }
    }

    /* 6. Registry values, own location, enable snapshot, the bring-up thread. */
    EnumPrepareRegistryAndStart(Device);
    return selectStatus;
}

extern "C" NTSTATUS EnumEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);

    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.SurpriseRemovalOK = WdfTrue;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(Device, &caps);

    if (PreviousState == WdfPowerDeviceD3Final)
        return STATUS_SUCCESS;

    /*
     * Back from a low-power state: enable every target port at once. The
     * targets come from the register itself: when it cannot be read, it is
     * left as it is (it still holds them from before the sleep) rather than
     * written with nothing enabled, which would take every port away.
     */
    EnumSetStopThread(context, 0);
    UCHAR enable[4] = {0, 0, 0, 0};
    if (NT_SUCCESS(EnumReadRegister(Device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable)))) {
        enable[0] = enable[2];
        enable[1] = (UCHAR)(enable[3] | 0x80);
        EnumWriteRegister(Device, PORT_ENABLE_REGISTER, 0, enable, 2);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS EnumEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);
    UCHAR enable[4] = {0, 0, 0, 0};

    if (TargetState == WdfPowerDeviceD2) {
        EnumSetStopThread(context, 1);
        StallMilliseconds(2000);
        /* The enable word becomes the target mask, which comes from the
           register itself: a failed read leaves the register as it is
           rather than writing nothing enabled. */
        if (NT_SUCCESS(EnumReadRegister(Device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable)))) {
            enable[0] = enable[2];
            enable[1] = enable[3];
            EnumWriteRegister(Device, PORT_ENABLE_REGISTER, 0, enable, 2);
        }
    } else if (TargetState == WdfPowerDeviceD3Final) {
        EnumSetStopThread(context, 1);
        StallMilliseconds(2000);
        /* The stall is not a guarantee: the thread has ended before the device goes on. */
        EnumWaitForBringUpThread(context);
        EnumReadRegister(Device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable));
        enable[0] = 0x00;
        enable[1] = 0x80;
        EnumWriteRegister(Device, PORT_ENABLE_REGISTER, 0, enable, 2);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID EnumEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);
    NTSTATUS status = STATUS_SUCCESS;
    if (context->IdleEnabled)
        status = WdfDeviceStopIdle(Device, TRUE);
    WdfRequestComplete(Request, status);
}

extern "C" VOID EnumEvtFileClose(WDFFILEOBJECT FileObject) {
    WDFDEVICE device = WdfFileObjectGetDevice(FileObject);
    PDEVICE_CONTEXT context = EnumGetDeviceContext(device);
    if (context->IdleEnabled)
        WdfDeviceResumeIdle(device);
}

extern "C" VOID EnumEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(ActionFlags);
}

/* Register access. */
static NTSTATUS EnumSendRegisterRequest(WDFDEVICE Device, WDF_USB_BMREQUEST_DIRECTION Direction, USHORT Register,
                                        USHORT Index, PVOID Buffer, ULONG Length) {
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);
    if (context->UsbDevice == NULL)
        return STATUS_INVALID_DEVICE_STATE;

    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, Direction, BmRequestToDevice, ENUM_REGISTER_REQUEST, Register,
                                             Index);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(ENUM_REGISTER_TIMEOUT_SECONDS));

    WDF_MEMORY_DESCRIPTOR memory;
    PWDF_MEMORY_DESCRIPTOR descriptor = NULL;
    if (Buffer != NULL && Length != 0) {
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, Buffer, Length);
        descriptor = &memory;
    }
    return WdfUsbTargetDeviceSendControlTransferSynchronously(context->UsbDevice, WDF_NO_HANDLE, &options, &packet,
                                                              descriptor, NULL);
}

extern "C" NTSTATUS EnumReadRegister(WDFDEVICE Device, USHORT Register, USHORT Index, PVOID Buffer, ULONG Length) {
    return EnumSendRegisterRequest(Device, BmRequestDeviceToHost, Register, Index, Buffer, Length);
}

extern "C" NTSTATUS EnumWriteRegister(WDFDEVICE Device, USHORT Register, USHORT Index, PVOID Buffer, ULONG Length) {
    return EnumSendRegisterRequest(Device, BmRequestHostToDevice, Register, Index, Buffer, Length);
}

extern "C" VOID StallMilliseconds(ULONG Milliseconds) {
    for (ULONG i = 0; i < Milliseconds * 20; ++i)
        KeStallExecutionProcessor(50);
}

/* Control codes. */
static VOID EnumPinBits(UCHAR Selector, UCHAR *DirectionBit, UCHAR *PinBit) {
    switch (Selector & 0x0F) {
    case 0: *DirectionBit = 4; *PinBit = 0; break;
    case 1: *DirectionBit = 5; *PinBit = 1; break;
    default: *DirectionBit = 6; *PinBit = 2; break;
    }
}

/* Bit n of OUTPUT_BITS_REGISTER is bit (n - 1) modulo 32; only 0 to 7 exist. */
static ULONG EnumOutputBitIndex(UCHAR Number) {
    return (ULONG)(Number - 1) & 31;
}

extern "C" VOID EnumEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                       size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    size_t inputSize = 0;
    size_t outputSize = 0;
    PVOID in = NULL;
    PVOID out = NULL;

    switch (IoControlCode) {
    case IOCTL_ENUM_GET_CONFIG: inputSize = 4; outputSize = 4; break;
    case IOCTL_ENUM_SET_GPIO: inputSize = 4; outputSize = 0; break;
    case IOCTL_ENUM_GET_GPIO: inputSize = 4; outputSize = 4; break;
    case IOCTL_ENUM_SET_BIT:
    case IOCTL_ENUM_GET_BIT: inputSize = 2; outputSize = 2; break;
    case IOCTL_ENUM_MEM_READ:
    case IOCTL_ENUM_MEM_WRITE:
    case IOCTL_ENUM_MEM_COMMAND: inputSize = sizeof(ENUM_MEM_BLOCK); outputSize = sizeof(ENUM_MEM_BLOCK); break;
    default:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }

    /* A short input buffer: success, no information, the chip untouched. */
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, inputSize, &in, NULL))) {
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
    /* A short output buffer: the retrieval's status, no information. */
    if (outputSize != 0) {
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, outputSize, &out, NULL);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
            return;
        }
    }

    PUCHAR input = (PUCHAR)in;
    PUCHAR output = (PUCHAR)out;
    switch (IoControlCode) {
    case IOCTL_ENUM_GET_CONFIG: {
        EnumReadRegister(device, CHIP_CONFIG_REGISTER, 0, output, 2);
        UCHAR enable[4] = {0, 0, 0, 0};
        EnumReadRegister(device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable));
        output[2] = enable[2];
        output[3] = enable[3];
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 4);
        return;
    }
    case IOCTL_ENUM_SET_GPIO: {
        PENUM_GPIO_REQUEST gpio = (PENUM_GPIO_REQUEST)input;
        USHORT reg = (USHORT)(PIN_GROUP_REGISTER + (gpio->Selector >> 4));
        UCHAR directionBit, pinBit;
        EnumPinBits(gpio->Selector, &directionBit, &pinBit);
        UCHAR value = 0;
        EnumReadRegister(device, reg, 0, &value, 1);
        if (gpio->Direction == 1)
            value = (UCHAR)(value | (1u << directionBit));
        else
            value = (UCHAR)(value & ~(1u << directionBit));
        if (gpio->Output == 1)
            value = (UCHAR)(value | (1u << pinBit));
        else
            value = (UCHAR)(value & ~(1u << pinBit));
        EnumWriteRegister(device, reg, 0, &value, 1);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
    case IOCTL_ENUM_GET_GPIO: {
        UCHAR selector = input[0];
        USHORT reg = (USHORT)(PIN_GROUP_REGISTER + (selector >> 4));
        UCHAR directionBit, pinBit;
        EnumPinBits(selector, &directionBit, &pinBit);
        UCHAR value[2] = {0, 0};
        EnumReadRegister(device, reg, 0, value, sizeof(value));
        output[0] = selector;
        output[1] = (UCHAR)((value[0] >> directionBit) & 1);
        output[2] = (UCHAR)((value[0] >> pinBit) & 1);
        output[3] = (UCHAR)((value[1] >> pinBit) & 1);
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 4);
        return;
    }
    case IOCTL_ENUM_SET_BIT: {
        ULONG bit = EnumOutputBitIndex(input[0]);
        UCHAR setIt = input[1];
        UCHAR value = 0;
        EnumReadRegister(device, OUTPUT_BITS_REGISTER, 0, &value, 1);
        if (bit < 8) {
            if (setIt)
                value = (UCHAR)(value | (1u << bit));
            else
                value = (UCHAR)(value & ~(1u << bit));
        }
        EnumWriteRegister(device, OUTPUT_BITS_REGISTER, 0, &value, 1);
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 2);
        return;
    }
    case IOCTL_ENUM_GET_BIT: {
        ULONG bit = EnumOutputBitIndex(input[0]);
        UCHAR value = 0;
        EnumReadRegister(device, OUTPUT_BITS_REGISTER, 0, &value, 1);
        output[1] = (UCHAR)(bit < 8 ? ((value >> bit) & 1) : 0);
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 2);
        return;
    }
    case IOCTL_ENUM_MEM_READ:
    case IOCTL_ENUM_MEM_WRITE: {
        PENUM_MEM_BLOCK block = (PENUM_MEM_BLOCK)input;
        /* Never past the block: a length above 256 is clamped. */
        ULONG length = block->Length > ENUM_MEM_BLOCK_DATA ? ENUM_MEM_BLOCK_DATA : block->Length;
        for (ULONG i = 0; i < length; ++i) {
            USHORT address = (USHORT)(block->Start + i);
            if (IoControlCode == IOCTL_ENUM_MEM_READ)
                EnumReadRegister(device, MEMORY_DATA_REGISTER, address, &block->Data[i], 1);
            else
                EnumWriteRegister(device, MEMORY_DATA_REGISTER, address, &block->Data[i], 1);
        }
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ENUM_MEM_BLOCK));
        return;
    }
    case IOCTL_ENUM_MEM_COMMAND: {
        PENUM_MEM_BLOCK block = (PENUM_MEM_BLOCK)input;
        EnumWriteRegister(device, MEMORY_COMMAND_REGISTER, block->Start, NULL, 0);
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ENUM_MEM_BLOCK));
        return;
    }
    default:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
}

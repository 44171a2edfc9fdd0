/*
 * Zephan_GPIOEnum: the enumerator driver for the chip's own USB function.
 * One header for every source of the driver: the platform headers, the device context, the chip registers, the control
 * codes and buffers, and the driver's routines (C linkage, so a test can
 * find them in a loaded image by name).
 */
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <usb.h>
#include <wdf.h>

/* Pool tag of the registry helper: "TBus" in pool dumps. */
#define ENUM_POOL_TAG ((ULONG)'T' | ((ULONG)'B' << 8) | ((ULONG)'u' << 16) | ((ULONG)'s' << 24))

/* Control device names: \DosDevices\Zephan_A_Enum<n>, n = 0 to 99. */
#define ENUM_LINK_PREFIX L"\\DosDevices\\Zephan_A_Enum"
#define ENUM_LINK_CHARS 128
#define ENUM_MAX_SETUP_NUMBERS 100

/* Chip registers (wValue of the vendor request 0xA0). */
#define ENUM_REGISTER_REQUEST 0xA0
#define PORT_ENABLE_REGISTER 0x0116
#define CHIP_CONFIG_REGISTER 0x1600
#define PIN_GROUP_REGISTER 0x1600          /* + k, k = 0 to 15 */
#define PORT_MODE_REGISTER 0x1601          /* + i, port i = 0 to 11 */
#define VARIANT_FIXUP_REGISTER 0x1610
#define OUTPUT_BITS_REGISTER 0x1611
#define SCRATCH_REGISTER 0x0621
#define MEMORY_DATA_REGISTER 0x0110
#define MEMORY_COMMAND_REGISTER 0x0111

#define ENUM_MAX_PORTS 12
#define ENUM_REGISTER_TIMEOUT_SECONDS 5
#define ENUM_PORT_BUDGET_MS 4000

/* Control codes: device type 0x15, buffered, any access. */
#define ENUM_CTL_CODE(function) CTL_CODE(0x15, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ENUM_GET_CONFIG ENUM_CTL_CODE(0xE00)
#define IOCTL_ENUM_SET_GPIO ENUM_CTL_CODE(0xE01)
#define IOCTL_ENUM_GET_GPIO ENUM_CTL_CODE(0xE02)
#define IOCTL_ENUM_SET_BIT ENUM_CTL_CODE(0xE03)
#define IOCTL_ENUM_GET_BIT ENUM_CTL_CODE(0xE04)
#define IOCTL_ENUM_MEM_READ ENUM_CTL_CODE(0xE10)
#define IOCTL_ENUM_MEM_WRITE ENUM_CTL_CODE(0xE11)
#define IOCTL_ENUM_MEM_COMMAND ENUM_CTL_CODE(0xE12)

#pragma pack(push, 1)
typedef struct _ENUM_GPIO_REQUEST {
    UCHAR Selector;   /* high nibble: pin group k; low nibble: pin p (0, 1, other = 2) */
    UCHAR Direction;  /* 1 sets the direction bit, other values clear it */
    UCHAR Output;     /* 1 sets the output bit, other values clear it */
    UCHAR Input;      /* filled on a read */
} ENUM_GPIO_REQUEST, *PENUM_GPIO_REQUEST;

#define ENUM_MEM_BLOCK_DATA 256
typedef struct _ENUM_MEM_BLOCK {
    USHORT Start;
    USHORT Reserved;
    USHORT Length;    /* bytes; a length above 256 is clamped to 256 */
    UCHAR Data[ENUM_MEM_BLOCK_DATA];
} ENUM_MEM_BLOCK, *PENUM_MEM_BLOCK;
#pragma pack(pop)

static_assert(sizeof(ENUM_GPIO_REQUEST) == 4, "ENUM_GPIO_REQUEST is 4 bytes");
static_assert(sizeof(ENUM_MEM_BLOCK) == 262, "ENUM_MEM_BLOCK is 262 bytes");

/* The framework context of the device object (context type name "DEVICE_CONTEXT"). */
typedef struct _DEVICE_CONTEXT {
    WDFUSBDEVICE UsbDevice;
    UCHAR ModeBits;
    /* 0 or 1; a LONG changed and read with interlocked calls, as the power
     * callbacks and the bring-up thread share it without a lock. */
    volatile LONG StopThread;
    UCHAR IdleEnabled;
    UCHAR SetupNumber;
    WCHAR LocationInformation[50];
    /* Beyond the chip-facing fields: the bring-up thread of the latest start,
     * referenced so that it is known to have ended before the context goes. */
    PKTHREAD BringUpThread;
    ULONG PortCount;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, EnumGetDeviceContext)

/* StopThread: asks the bring-up thread to finish. */
FORCEINLINE VOID EnumSetStopThread(PDEVICE_CONTEXT Context, LONG Value) {
    InterlockedExchange(&Context->StopThread, Value);
}
FORCEINLINE BOOLEAN EnumStopRequested(PDEVICE_CONTEXT Context) {
    return InterlockedCompareExchange(&Context->StopThread, 0, 0) != 0;
}

WDF_EXTERN_C_START

DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EnumEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EnumEvtDriverCleanup;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EnumEvtDeviceCleanup;
EVT_WDF_DEVICE_PREPARE_HARDWARE EnumEvtDevicePrepareHardware;
EVT_WDF_DEVICE_D0_ENTRY EnumEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EnumEvtDeviceD0Exit;
EVT_WDF_DEVICE_FILE_CREATE EnumEvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EnumEvtFileClose;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EnumEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP EnumEvtIoStop;

/* Register access: one vendor control transfer, 5-second time-out, no retry. */
NTSTATUS EnumReadRegister(WDFDEVICE Device, USHORT Register, USHORT Index, PVOID Buffer, ULONG Length);
NTSTATUS EnumWriteRegister(WDFDEVICE Device, USHORT Register, USHORT Index, PVOID Buffer, ULONG Length);
VOID StallMilliseconds(ULONG Milliseconds);

/* Registry values and the ordered bring-up of the ports. */
extern volatile LONG BringUpGate;
NTSTATUS EnumQueryRegistryValue(PCWSTR ValueName, PULONG DataLength, PVOID Destination, ULONG DestinationSize,
                                PCWSTR KeyPath);
VOID EnumPrepareRegistryAndStart(WDFDEVICE Device);
KSTART_ROUTINE PortBringUpThread;
VOID EnumWaitForBringUpThread(PDEVICE_CONTEXT Context);

WDF_EXTERN_C_END

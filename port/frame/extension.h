/*
 * The port record of Zephan_Port: one DEVICE_EXTENSION per UART device,
 * with the records embedded in it (receive ring, transfer contexts) and the
 * driver-wide state.
 *
 * The extension is zero-filled by IoCreateDevice; fields whose start value
 * is not zero are set by InitializePortRecord when the device is added.
 */
#pragma once

/* Pool tag of every allocation of the driver: "ZPrt" in pool dumps. */
#define ZEPHAN_POOL_TAG ((ULONG)'Z' | ((ULONG)'P' << 8) | ((ULONG)'r' << 16) | ((ULONG)'t' << 24))

/* Device names: \Device\LumoraSerial<n>, n from DriverGlobals.DeviceNumber. */
#define PORT_DEVICE_NAME_FORMAT L"\\Device\\LumoraSerial%d"
#define PORT_DEVICE_NAME_CHARS 128
#define PORT_DEVICE_NAME_ATTEMPTS 1000

/* Port name buffers: the COM name read from the hardware key. */
#define PORT_NAME_BUFFER_BYTES 258
#define PORT_NAME_VALUE_BYTES 256
#define PORT_DOS_NAME_BYTES 66

/* Trace ring: 1280 lines of at most 127 characters and a terminating zero. */
#define TRACE_RING_SLOTS 1280
#define TRACE_LINE_BYTES 128

/* Receive ring and the inbound transfer buffers. */
#define DEFAULT_RECEIVE_QUEUE_SIZE 0x10000
#define BULK_IN_BUFFER_BYTES 0x10000
#define INTERRUPT_IN_BUFFER_BYTES 16

/* Port defaults set when a device is added. */
#define DEFAULT_BAUD_RATE 9600
#define DEFAULT_WORD_LENGTH 8
#define DEFAULT_XON_CHAR 0x11
#define DEFAULT_XOFF_CHAR 0x13
#define DEFAULT_XON_LIMIT 100
#define DEFAULT_XOFF_LIMIT 300

/* Vendor settings used until the settings file supplies a port's record. */
#define DEFAULT_MAX_WRITE_LENGTH 32
#define MAXIMUM_MAX_WRITE_LENGTH 128
#define DEFAULT_BAUD_MODE 0xFF
#define DEFAULT_CUSTOM_CLOCK 0x01
#define DEFAULT_CUSTOM_DIVISOR 0x01
#define DEFAULT_SAMPLE_RATE 16
#define DEFAULT_SAMPLE_BITS 7
#define DEFAULT_RX_TRIGGER_BITS 0xC0
#define DEFAULT_RX_TRIGGER_SCALE 0x0B

/* Plug and Play state of a port (DeviceState). */
enum PORT_DEVICE_STATE {
    PortStateStopped = 0,        /* added, or stopped */
    PortStateStarted = 1,
    PortStateStopPending = 2,
    PortStateRemovePending = 3,
    PortStateSurpriseRemoved = 4,
    PortStateRemoved = 5,
};

/* Transmit hold reasons (TxHoldFlags). */
#define TX_HOLD_CTS   0x01
#define TX_HOLD_DSR   0x02
#define TX_HOLD_DCD   0x04
#define TX_HOLD_XOFF  0x08
#define TX_HOLD_BREAK 0x10

/* Receive hold reason set while DSR is low under DSR sensitivity. */
#define RX_HOLD_DSR   0x08

/*
 * The receive ring: at most BufferSize - 1 bytes, empty when ReadIndex
 * equals WriteIndex. Guarded by QueueBufferLock.
 */
typedef struct _QUEUE_BUFFER {
    PUCHAR Buffer;
    ULONG DataCount;
    ULONG BufferSize;
    ULONG ReadIndex;
    ULONG WriteIndex;
} QUEUE_BUFFER, *PQUEUE_BUFFER;

/*
 * One per pipe of the port: the driver's own request and URB for the pipe,
 * reused for every transfer. The inbound pipes receive into buffers held in
 * the extension (Buffer points at them); the bulk-out pipe sends straight
 * from the write request and has none.
 */
typedef struct _TRANSFER_CONTEXT {
    PIRP Irp;
    PURB Urb;
    UCHAR Idle;                          /* 1 while the request is not in flight */
    PUSBD_PIPE_INFORMATION PipeInformation;
    PDEVICE_OBJECT DeviceObject;
    PUCHAR Buffer;
    ULONG BufferLength;
    UCHAR ResetNeeded;                   /* the last transfer failed: the worker resets the pipe first */
    ULONG Failures;                      /* USB errors in a row, for the bounded recovery */
    UCHAR InLower;                       /* with the lower driver: sent and its completion not yet run */
    UCHAR CancelWanted;                  /* claimed, not yet sent, and to go down cancelled */
    ULONG Cancels;                       /* cancellations under way: the request is not reused meanwhile */
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

/*
 * The port's image of the registers that only the driver changes
 * (chip/register_image.cpp): the port-control registers 0x105-0x10E, the
 * divisor latch, IER, FCR, LCR and MCR. Value[n] holds what the device
 * holds while bit n of Valid is set. Value and Bypass are used only by the
 * holder of RegisterMutex; Valid, Generation and Disabled are shared.
 */
#define REGISTER_IMAGE_ENTRIES 16
typedef struct _REGISTER_IMAGE {
    volatile ULONG Valid;                /* shared */
    volatile LONG Generation;            /* counts invalidations; shared */
    volatile LONG Disabled;              /* 1: every access goes to the device; shared */
    LONG Bypass;                         /* the mutex holder goes to the device (the power-up restore) */
    UCHAR Value[REGISTER_IMAGE_ENTRIES];
} REGISTER_IMAGE, *PREGISTER_IMAGE;

typedef struct _DEVICE_EXTENSION {
    /* Frame. */
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    volatile LONG IoCount;
    KSPIN_LOCK IoCountLock;
    KEVENT RemoveEvent;                  /* set when IoCount drops to 0 */
    KEVENT StopEvent;                    /* set when IoCount drops to 1 */
    UNICODE_STRING InterfaceName;        /* the driver's private device interface */
    volatile LONG DeviceState;           /* PORT_DEVICE_STATE; shared (frame.h) */
    LONG PreviousState;
    volatile LONG Started;               /* shared */
    volatile LONG handles;               /* open handles: 0 or 1 */
    UNICODE_STRING DeviceName;           /* \Device\LumoraSerial<n>, non-paged */

    /* Results of the start. */
    UCHAR FifoPresent;
    UCHAR ChipRevision;
    UCHAR ChipGroup;
    UCHAR Removed;

    /*
     * Power, idle power-down, remote wake and WMI (port/power). The flags
     * are shared between the power IRPs' paths, the idle DPC and the
     * dispatch routines and go through the shared-access helpers.
     */
    volatile LONG DevicePower;           /* DEVICE_POWER_STATE; shared */
    SYSTEM_POWER_STATE SystemPower;      /* last system state set; power IRPs only */
    DEVICE_CAPABILITIES DeviceCaps;      /* as reported upward at start */
    volatile LONG DeviceEnable;          /* idle power-down allowed ("DeviceEnable"); shared */
    volatile LONG DeviceWakeEnable;      /* remote wake allowed ("DeviceWakeEnable"); shared */
    volatile LONG WakeArmed;             /* remote-wake feature set since the last power-up; shared */
    volatile LONG RestoreNeeded;         /* a D0 request came: restore the settings; shared */
    volatile LONG PowerDownSeen;         /* a request below Working/D0 was handled; shared */
    UCHAR SavedModemControl;             /* MODEM_CONTROL_REGISTER as the port left D0 */
    UCHAR ModemControlSaved;             /* ... read successfully, restored at power-up */
    PIO_WORKITEM RestoreWorkItem;        /* finishes a power-up at PASSIVE_LEVEL */
    KTIMER IdleTimer;
    KDPC IdleTimerDpc;
    KSPIN_LOCK IdleLock;                 /* guards IdleIrp and IdleCallbackInfo */
    PIRP IdleIrp;                        /* idle-notification request in flight */
    PUSB_IDLE_CALLBACK_INFO IdleCallbackInfo;
    volatile LONG IdleInFlight;          /* an idle request is being sent or is in flight */
    volatile LONG IdleRequestPending;    /* an idle request was sent and has not completed; shared */
    volatile LONG IdleIrpRefs;           /* owners of IdleIrp: sender side and completion */
    KEVENT IdleDpcIdle;                  /* clear while the idle DPC runs */
    KEVENT IdleDoneEvent;                /* clear while an idle request is pending */
    WMILIB_CONTEXT WmiLibContext;

    /* External names. */
    ULONG SkipExternalNaming;
    UCHAR CreatedSymbolicLink;
    UCHAR CreatedSerialCommEntry;
    UNICODE_STRING SymbolicLinkName;     /* \DosDevices\COMn, paged */
    UNICODE_STRING ComInterfaceName;     /* COM-port device interface */
    UNICODE_STRING DosName;              /* COMn, non-paged, 66-byte buffer */

    /* Register access. */
    KMUTEX RegisterMutex;
    REGISTER_IMAGE RegisterImage;
    KMUTEX OpenCloseMutex;               /* serialises open and close */

    /* USB descriptors and configuration. */
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION InterfaceInformation;
    LONG PortIndex;                      /* this UART's index in the controller */

    /* Receive ring. */
    QUEUE_BUFFER QueueBuffer;
    KSPIN_LOCK QueueBufferLock;

    /* Reads. */
    LIST_ENTRY ReadQueue;
    KSPIN_LOCK ReadQueueLock;
    PIRP CurrentReadIrp;
    KSPIN_LOCK ReadServiceLock;
    KTIMER ReadTimer;
    KDPC ReadTimerDpc;
    LONGLONG ReadStartTime;              /* system time, 100 ns */
    LONGLONG ReadTotalTime;              /* 100 ns; 0 = no total time-out */
    ULONGLONG ReadTimerDue;              /* interrupt time the read timer expires at; 0 = not armed */

    /* Bulk-in reception. */
    TRANSFER_CONTEXT BulkInContext;
    KSPIN_LOCK TransferLock;
    KEVENT ReadKillEvent;
    KEVENT ReadEvent;
    PVOID ReadThread;                    /* PollingReadInterruptUrb */
    volatile LONG BulkInRestartPending;  /* ReadEvent found the transfer busy; shared */
    volatile ULONG BreakErrorFlag;       /* shared */
    volatile LONG PollingStopped;        /* 1: transfers are not re-armed; set by close and removal,
                                            changed and read with interlocked calls */
    UCHAR WhqlTestMode;

    /* Writes. */
    LIST_ENTRY WriteQueue;
    KSPIN_LOCK WriteQueueLock;
    ULONG WriteQueuedBytes;
    PIRP CurrentWriteIrp;
    PUCHAR CurrentWriteData;
    ULONG CurrentWriteIrpDataLen;
    ULONG CurrentWriteIrpLength;
    TRANSFER_CONTEXT BulkOutContext;
    KEVENT WriteKillEvent;
    KEVENT WriteEvent;
    PVOID WriteThread;                   /* PollingWriteInterruptUrb */
    KTIMER WriteTimer;
    KDPC WriteTimerDpc;
    ULONGLONG WriteTimerDue;             /* interrupt time the write timer expires at; 0 = not armed */
    NTSTATUS CurrentWriteEndStatus;      /* non-zero: the current write ends with this once its chunk is back */
    LONG BulkOutCancels;                 /* cancellations of the bulk-out request under way */

    /* Modem status. */
    TRANSFER_CONTEXT InterruptInContext;
    KEVENT InterruptKillEvent;
    KEVENT InterruptEvent;
    PVOID InterruptThread;               /* PollingInterruptInUrb */
    KEVENT MsrKillEvent;
    KEVENT MsrEvent;
    PVOID MsrThread;                     /* PollingMSR */
    volatile LONG MsrPollArmed;          /* 1: the next modem-status read may be asked for; interlocked */
    volatile ULONG SaveModemStatus;      /* last modem status read, with its change bits; shared */
    volatile ULONG TxHoldFlags;          /* TX_HOLD_*; shared */
    volatile ULONG RxHoldFlags;          /* shared */

    /* Wait on mask. */
    volatile ULONG WaitMask;             /* shared */
    volatile ULONG HistoryMask;          /* shared */
    PIRP CurrentWaitIrp;

    /* Serial settings and statistics. */
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIALPERF_STATS PerfStats;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    UCHAR AutoFlowControl;

    /* Clock and FIFO settings for the line rate, from the settings file. */
    UCHAR BaudMode;
    UCHAR CustomClock;
    UCHAR CustomDivisor;
    UCHAR SampleRate;
    UCHAR RxTriggerBits;
    UCHAR RxTriggerScale;

    /* Vendor settings from the settings file. */
    UCHAR PortMode;
    UCHAR PortModeFlags;
    UCHAR LoopbackAtOpen;
    UCHAR MsrInterruptOff;
    UCHAR SampleBits;
    UCHAR SampleBit0;
    UCHAR I2cAddress;
    ULONG MaxWriteLength;

    /* Trace ring: kept lines at passive level while TraceEnable is set. */
    ULONG TraceEnable;
    ULONG TraceWriteIndex;
    ULONG TraceReadIndex;
    CHAR TraceRing[TRACE_RING_SLOTS][TRACE_LINE_BYTES];

    /* Receive buffers of the inbound transfers. */
    UCHAR InterruptInBuffer[INTERRUPT_IN_BUFFER_BYTES];
    UCHAR BulkInBuffer[BULK_IN_BUFFER_BYTES];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* Driver-wide state: one copy per loaded image. */
typedef struct _DRIVER_GLOBALS {
    UNICODE_STRING RegistryPath;         /* copy of the service key path */
    ULONG DeviceNumber;                  /* next <n> tried for a device name */
    volatile LONG PoolAllocations;       /* live allocations of the pool helpers */
    volatile LONG PowerOperationCount;
    volatile LONG ReceiveEnabled;        /* bulk-in reception switch; shared */
    UCHAR PoolTypeKnown;                 /* NonPagedType below is decided */
    POOL_TYPE NonPagedType;              /* NonPagedPoolNx from Windows 8 on */
} DRIVER_GLOBALS, *PDRIVER_GLOBALS;

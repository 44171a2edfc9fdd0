/*
 * Power manager: power states and the calls a function driver makes.
 */
#pragma once
#include "ke.h"

EXTERN_C_START

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
    PowerActionDisplayOff
} POWER_ACTION, *PPOWER_ACTION;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE {
    SystemPowerState = 0,
    DevicePowerState
} POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

typedef struct _SYSTEM_POWER_STATE_CONTEXT {
    union {
        struct {
            ULONG Reserved1 : 8;
            ULONG TargetSystemState : 4;
            ULONG EffectiveSystemState : 4;
            ULONG CurrentSystemState : 4;
            ULONG IgnoreHibernationPath : 1;
            ULONG PseudoTransition : 1;
            ULONG Reserved2 : 10;
        };
        ULONG ContextAsUlong;
    };
} SYSTEM_POWER_STATE_CONTEXT, *PSYSTEM_POWER_STATE_CONTEXT;

typedef struct _POWER_SEQUENCE {
    ULONG SequenceD1;
    ULONG SequenceD2;
    ULONG SequenceD3;
} POWER_SEQUENCE, *PPOWER_SEQUENCE;

struct _DEVICE_OBJECT;
struct _IRP;

typedef VOID NTAPI REQUEST_POWER_COMPLETE(struct _DEVICE_OBJECT *DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    struct _IO_STATUS_BLOCK *IoStatus);
typedef REQUEST_POWER_COMPLETE *PREQUEST_POWER_COMPLETE;

NTKERNELAPI POWER_STATE NTAPI PoSetPowerState(struct _DEVICE_OBJECT *DeviceObject, POWER_STATE_TYPE Type,
                                              POWER_STATE State);
NTKERNELAPI NTSTATUS NTAPI PoCallDriver(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
NTKERNELAPI VOID NTAPI PoStartNextPowerIrp(struct _IRP *Irp);
NTKERNELAPI NTSTATUS NTAPI PoRequestPowerIrp(struct _DEVICE_OBJECT *DeviceObject, UCHAR MinorFunction,
                                             POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                             PVOID Context, struct _IRP **Irp);

EXTERN_C_END

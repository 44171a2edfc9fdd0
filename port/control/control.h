/*
 * Serial control: the device-control dispatcher, line settings, handshake,
 * vendor and maintenance controls and the settings file.
 */
#pragma once

#include "vendor_ioctl.h"

EXTERN_C_START

/* device_control.cpp: PASSIVE_LEVEL. */
DRIVER_DISPATCH DispatchControl;
/* Clears the port's statistics counters, each in one step. Any IRQL. */
VOID ClearStatistics(PDEVICE_EXTENSION Port);

/*
 * line_control.cpp: PASSIVE_LEVEL. Programs the line rate (0: the current
 * BaudRate) and line control (NULL: the current LineControl); BaudRate and
 * LineControl take the new values only when the call succeeds.
 */
NTSTATUS SerialSetBaudRateAndLineControl(PDEVICE_EXTENSION Port, ULONG NewBaudRate,
                                         PSERIAL_LINE_CONTROL NewLineControl);
/* Any IRQL: whether the line programming accepts a rate. */
BOOLEAN SerialRateSupported(PDEVICE_EXTENSION Port, ULONG Rate);

/*
 * modem_lines.cpp: PASSIVE_LEVEL. The DTR and RTS line operations (left
 * alone while AutoFlowControl is set) and a new handshake record.
 */
NTSTATUS SetDtrLine(PDEVICE_EXTENSION Port);
NTSTATUS ClearDtrLine(PDEVICE_EXTENSION Port);
NTSTATUS SetRtsLine(PDEVICE_EXTENSION Port);
NTSTATUS ClearRtsLine(PDEVICE_EXTENSION Port);
/* DTR and RTS raised together with OtherBits of MODEM_CONTROL_REGISTER, in one write. */
NTSTATUS RaiseModemLines(PDEVICE_EXTENSION Port, UCHAR OtherBits);
VOID SerialSetupNewHandFlow(PDEVICE_EXTENSION Port, PSERIAL_HANDFLOW NewHandFlow);

/*
 * settings.cpp: PASSIVE_LEVEL. The vendor settings' defaults, the two-wire
 * probe that resets the open-time flags, and this port's record of the
 * settings file.
 */
VOID LoadSettingsDefaults(PDEVICE_EXTENSION Port);
VOID ProbeTwoWireDevice(PDEVICE_EXTENSION Port);
NTSTATUS ReadSettingsFile(PDEVICE_EXTENSION Port);

/*
 * settings.cpp: PASSIVE_LEVEL. One changed byte of the port's record:
 * Byte := (Byte & Keep) | Value. RewriteSettingsRecord writes changes back
 * into the file (which must exist); ReadPreferredComNumber gives record
 * byte 0 (0xFF when the file cannot be read whole) and fails only when the
 * file cannot be opened.
 */
typedef struct _SETTINGS_RECORD_CHANGE {
    UCHAR Byte;
    UCHAR Keep;
    UCHAR Value;
} SETTINGS_RECORD_CHANGE, *PSETTINGS_RECORD_CHANGE;

NTSTATUS RewriteSettingsRecord(PDEVICE_EXTENSION Port, const SETTINGS_RECORD_CHANGE *Changes, ULONG Count);
NTSTATUS ReadPreferredComNumber(PDEVICE_EXTENSION Port, PUCHAR Number);

/*
 * vendor_control.cpp, maintenance_control.cpp: PASSIVE_LEVEL. The driver's
 * own controls: port settings, and register, two-wire bus and USB
 * maintenance. Each sets *Information and returns the request's status;
 * DispatchControl completes the request.
 */
NTSTATUS SerialVendorControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information);
NTSTATUS SerialMaintenanceControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information);

EXTERN_C_END

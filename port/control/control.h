/*
 * Serial control: the device-control dispatcher, line settings, handshake,
 * vendor and maintenance controls and the settings file.
 */
#pragma once

EXTERN_C_START

/* device_control.cpp: PASSIVE_LEVEL. */
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * line_control.cpp: PASSIVE_LEVEL. Programs the line rate (0: the current
 * BaudRate) and line control (NULL: the current LineControl); BaudRate and
 * LineControl take the new values only when the call succeeds.
 */
NTSTATUS SerialSetBaudRateAndLineControl(PDEVICE_EXTENSION Port, ULONG NewBaudRate,
                                         PSERIAL_LINE_CONTROL NewLineControl);

EXTERN_C_END

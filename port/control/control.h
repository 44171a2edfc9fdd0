/*
 * Serial control: the device-control dispatcher, line settings, handshake,
 * vendor and maintenance controls and the settings file.
 */
#pragma once

EXTERN_C_START

/* device_control.cpp: PASSIVE_LEVEL. */
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

EXTERN_C_END

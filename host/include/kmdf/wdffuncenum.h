/*
 * KMDF 1.9 function-table indices (the published WDFFUNCENUM order). Only
 * the indices of the functions these headers declare are named; the table
 * of a 1.9 framework has WdfFunctionTableNumEntries entries.
 */
#pragma once

typedef enum _WDFFUNCENUM {
    WdfDeviceAssignS0IdleSettingsTableIndex = 46,
    WdfDeviceOpenRegistryKeyTableIndex = 48,
    WdfDeviceInitSetPnpPowerEventCallbacksTableIndex = 55,
    WdfDeviceInitSetIoTypeTableIndex = 61,
    WdfDeviceInitSetFileObjectConfigTableIndex = 71,
    WdfDeviceCreateTableIndex = 75,
    WdfDeviceCreateDeviceInterfaceTableIndex = 77,
    WdfDeviceCreateSymbolicLinkTableIndex = 80,
    WdfDeviceSetPnpCapabilitiesTableIndex = 83,
    WdfDeviceStopIdleTableIndex = 88,
    WdfDeviceResumeIdleTableIndex = 89,
    WdfDriverCreateTableIndex = 116,
    WdfDriverGetRegistryPathTableIndex = 117,
    WdfFileObjectGetDeviceTableIndex = 139,
    WdfIoQueueCreateTableIndex = 152,
    WdfIoQueueGetDeviceTableIndex = 157,
    WdfObjectGetTypedContextWorkerTableIndex = 202,
    WdfObjectDeleteTableIndex = 208,
    WdfRegistryCloseTableIndex = 231,
    WdfRegistryQueryULongTableIndex = 240,
    WdfRegistryAssignULongTableIndex = 246,
    WdfRequestCompleteTableIndex = 263,
    WdfRequestCompleteWithInformationTableIndex = 265,
    WdfRequestRetrieveInputBufferTableIndex = 269,
    WdfRequestRetrieveOutputBufferTableIndex = 270,
    WdfUsbTargetDeviceCreateTableIndex = 322,
    WdfUsbTargetDeviceSelectConfigTableIndex = 330,
    WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex = 333,
    WdfRequestForwardToParentDeviceIoQueueTableIndex = 395,
    WdfFunctionTableNumEntries = 396,
} WDFFUNCENUM;

#define WdfFunctionTableNumOfFunctions WdfFunctionTableNumEntries

/* A 1.9 client owns its function table, defined by the entry stub: the stub
 * hands this array to the loader as WDF_BIND_INFO.FuncTable and the loader
 * copies the framework's entries into it (only clients of 1.15 and later get
 * the address of the framework's own table stored through FuncTable instead). */
WDF_EXTERN_C WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];

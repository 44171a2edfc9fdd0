/*
 * The loader probe: a small kernel-mode driver image, built with MinGW-w64
 * like the shipped drivers, whose device controls make it do what x64
 * kernel code does that user mode cannot (CR8, KUSER_SHARED_DATA, gs), use
 * relocated data and the kernel's variadic routines, fault, and end its
 * threads. Built twice: as it is, and importing a routine the platform does
 * not export (PROBE_MISSING_IMPORT).
 */
#include <ntddk.h>
#include <ntstrsafe.h>

#include "probe_ioctl.h"

extern "C" {

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD ProbeUnload;
static DRIVER_DISPATCH ProbeCreateClose;
static DRIVER_DISPATCH ProbeControl;
static KDEFERRED_ROUTINE ProbeFaultingDpc;
static KSTART_ROUTINE ProbeExitingThread;
static KSTART_ROUTINE ProbeStrandedThread;

/* Pointers in data: every one is a base relocation. */
static const char *const ProbeNames[] = {"alpha", "beta", "gamma"};

static KDPC ProbeDpc;
static KEVENT ProbeNeverSet;
static volatile LONG *volatile ProbeNull;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\ZldrProbe");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    KeInitializeDpc(&ProbeDpc, ProbeFaultingDpc, NULL);
    KeInitializeEvent(&ProbeNeverSet, NotificationEvent, FALSE);
    DriverObject->DriverUnload = ProbeUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = ProbeCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = ProbeCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ProbeControl;
#ifdef PROBE_MISSING_IMPORT
    GUID uuid;
    ExUuidCreate(&uuid);
#endif
    return STATUS_SUCCESS;
}

static VOID ProbeUnload(PDRIVER_OBJECT DriverObject)
{
    KeFlushQueuedDpcs();
    IoDeleteDevice(DriverObject->DeviceObject);
}

static NTSTATUS ProbeCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static VOID ProbeFaultingDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    *ProbeNull = 1;
}

static VOID ProbeExitingThread(PVOID Context)
{
    *(volatile LONG *)Context = 1;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID ProbeStrandedThread(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    KeWaitForSingleObject(&ProbeNeverSet, Executive, KernelMode, FALSE, NULL);
}

static NTSTATUS StartThread(PKSTART_ROUTINE Routine, PVOID Context, PVOID *Thread)
{
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Routine, Context);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, Thread, NULL);
    ZwClose(handle);
    return status;
}

static NTSTATUS ProbeControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PROBE_RAISE_IRQL: {
        if (in < sizeof(PROBE_IRQL) || out < sizeof(PROBE_IRQL)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        PROBE_IRQL *p = (PROBE_IRQL *)buffer;
        KIRQL old;
        KeRaiseIrql(p->Requested, &old);
        p->Seen = KeGetCurrentIrql();
        /* Paged pool is wrong above APC_LEVEL: the platform must notice. */
        PVOID block = ExAllocatePoolWithTag(PagedPool, 16, 'borP');
        if (block != NULL)
            ExFreePoolWithTag(block, 'borP');
        KeLowerIrql(old);
        p->Restored = KeGetCurrentIrql();
        information = sizeof(PROBE_IRQL);
        break;
    }
    case IOCTL_PROBE_TIME: {
        if (out < sizeof(PROBE_TIME)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        PROBE_TIME *p = (PROBE_TIME *)buffer;
        LARGE_INTEGER system, ticks;
        KeQuerySystemTime(&system);
        KeQueryTickCount(&ticks);
        p->SystemTime = system.QuadPart;
        p->InterruptTime = KeQueryInterruptTime();
        p->TickCount = ticks.QuadPart;
        information = sizeof(PROBE_TIME);
        break;
    }
    case IOCTL_PROBE_THREAD: {
        if (out < sizeof(PROBE_THREAD)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        PROBE_THREAD *p = (PROBE_THREAD *)buffer;
        p->Inline = (ULONGLONG)KeGetCurrentThread();
        p->Imported = (ULONGLONG)PsGetCurrentThread();
        information = sizeof(PROBE_THREAD);
        break;
    }
    case IOCTL_PROBE_TEXT: {
        if (out < sizeof(PROBE_TEXT)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        PROBE_TEXT *p = (PROBE_TEXT *)buffer;
        RtlZeroMemory(p, sizeof(*p));
        for (ULONG i = 0; i < RTL_NUMBER_OF(ProbeNames); ++i)
            RtlStringCbCatA(p->Names, sizeof(p->Names), ProbeNames[i]);
        UNICODE_STRING port;
        RtlInitUnicodeString(&port, L"COM7");
        RtlStringCbPrintfW(p->Formatted, sizeof(p->Formatted), L"%wZ %d %I64x %hs %lu %ws %c", &port, -12,
                           0x123456789abcULL, ProbeNames[1], 4000000000UL, L"wide", L'z');
        DbgPrint("probe: %s %d %ws\n", ProbeNames[2], 7, L"printed");
        information = sizeof(PROBE_TEXT);
        break;
    }
    case IOCTL_PROBE_FAULT_IN_DPC:
        KeInsertQueueDpc(&ProbeDpc, NULL, NULL);
        break;
    case IOCTL_PROBE_THREAD_EXIT: {
        volatile LONG ran = 0;
        PVOID thread;
        status = StartThread(ProbeExitingThread, (PVOID)&ran, &thread);
        if (NT_SUCCESS(status)) {
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
            ObDereferenceObject(thread);
            status = ran ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
        break;
    }
    case IOCTL_PROBE_STRAND_THREAD: {
        PVOID thread;
        status = StartThread(ProbeStrandedThread, NULL, &thread);
        if (NT_SUCCESS(status))
            ObDereferenceObject(thread);
        break;
    }
    case IOCTL_PROBE_LEAK:
        status = ExAllocatePoolWithTag(NonPagedPool, 24, 'kaeL') != NULL ? STATUS_SUCCESS : STATUS_NO_MEMORY;
        break;
    case IOCTL_PROBE_STALL:
        if (in < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeStallExecutionProcessor(*(PULONG)buffer);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

} /* extern "C" */

/*
 * USB descriptors and configuration of a port. The device descriptor's
 * bcdDevice tells which UART of the controller the device is: its high
 * byte's low nibble is the port index + 1. The interface's pipes are used
 * by position: interrupt-in, bulk-in, bulk-out. PASSIVE_LEVEL.
 *
 * Every buffer here is non-paged: the descriptor buffers are URB transfer
 * buffers, which the USB stack reaches at DISPATCH_LEVEL, and the
 * interface information kept is where the transfer paths (completion
 * routines, code under spin locks) take their pipe handles from.
 */
#include "../frame/driver.h"

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB device descriptor layout");

/* Reads the 18-byte device descriptor into DeviceDescriptor. */
NTSTATUS ReadDeviceDescriptor(PDEVICE_EXTENSION Port)
{
    PUSB_DEVICE_DESCRIPTOR descriptor =
        (PUSB_DEVICE_DESCRIPTOR)AllocateZeroedPool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR));
    if (descriptor == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, NULL,
                                 sizeof(USB_DEVICE_DESCRIPTOR), NULL);
    NTSTATUS status = SubmitUrbSynchronously(Port, &urb);
    if (!NT_SUCCESS(status)) {
        FreePool(descriptor);
        return status;
    }
    FreePool(Port->DeviceDescriptor);
    Port->DeviceDescriptor = descriptor;
    return STATUS_SUCCESS;
}

/*
 * Reads the descriptors, sets PortIndex and selects the first
 * configuration. The configuration descriptor is first read with 521 bytes
 * and read again at its full length when it is longer; a length that keeps
 * growing on the re-reads is refused, as is a device descriptor that
 * encodes no port index.
 */
NTSTATUS ConfigureDevice(PDEVICE_EXTENSION Port)
{
    const USHORT urbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    PURB urb = (PURB)AllocateZeroedPool(NonPagedPool, urbSize);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    ULONG size = CONFIGURATION_READ_SIZE;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = NULL;
    for (ULONG pass = 1;; pass++) {
        PUCHAR device = (PUCHAR)AllocateZeroedPool(NonPagedPool, size);
        if (device == NULL) {
            FreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        UsbBuildGetDescriptorRequest(urb, urbSize, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, NULL,
                                     size, NULL);
        SubmitUrbSynchronously(Port, urb);
        LONG index = 0;
        BOOLEAN indexValid = PortIndexFromDeviceDescriptor(device, size, &index);
        FreePool(device);
        if (!indexValid) {
            FreePool(urb);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        Port->PortIndex = index;

        configuration = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateZeroedPool(NonPagedPool, size);
        if (configuration == NULL) {
            FreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        UsbBuildGetDescriptorRequest(urb, urbSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                     configuration, NULL, size, NULL);
        SubmitUrbSynchronously(Port, urb);
        ULONG returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (returned == 0 || configuration->wTotalLength <= size)
            break;
        if (pass == CONFIGURATION_READ_PASSES) {
            FreePool(configuration);
            FreePool(urb);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        size = configuration->wTotalLength;
        FreePool(configuration);
        configuration = NULL;
    }
    FreePool(urb);

    FreePool(Port->ConfigurationDescriptor);
    Port->ConfigurationDescriptor = configuration;
    return SelectConfiguration(Port, configuration);
}

/*
 * Selects the configuration with its first interface in the default
 * setting and keeps a copy of the interface information. Up to four
 * attempts. An interface without the three pipes of a port is refused.
 */
NTSTATUS SelectConfiguration(PDEVICE_EXTENSION Port, PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG attempt = 0; attempt < SELECT_CONFIGURATION_ATTEMPTS; attempt++) {
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(Descriptor, &size);
        if (urb == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            continue;
        }
        if (USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1) == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        UsbBuildSelectConfigurationRequest(urb, size, Descriptor);
        status = SubmitUrbSynchronously(Port, urb);
        Port->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        if (!NT_SUCCESS(status)) {
            ExFreePool(urb);
            continue;
        }

        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        const ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
        ULONG available = size > offset ? size - offset : 0;
        if (!InterfaceHasPortPipes(info, available)) {
            ExFreePool(urb);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        /* The transfer paths read the pipe handles at DISPATCH_LEVEL. */
        PUSBD_INTERFACE_INFORMATION copy =
            (PUSBD_INTERFACE_INFORMATION)AllocatePool(NonPagedPool, info->Length);
        if (copy == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(copy, info, info->Length);
        FreePool(Port->InterfaceInformation);
        Port->InterfaceInformation = copy;
        ExFreePool(urb);
        return STATUS_SUCCESS;
    }
    return status;
}

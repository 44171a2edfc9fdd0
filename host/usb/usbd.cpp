// The routines of the USB driver library (usbd.sys) that function drivers
// call to walk configuration descriptors and to build select-configuration
// requests. Requests come from non-paged pool, charged to the driver that
// asked for them, and are freed by the driver with ExFreePool.
#include <usbdlib.h>

#include <cstring>

#include "host/nt/kernel.h"

namespace {

constexpr ULONG kUsbdTag = 0x44425355;   // "USBD" in a pool dump

// The descriptor at p, if a whole one lies inside [begin, end).
PUSB_COMMON_DESCRIPTOR descriptorAt(PUCHAR p, PUCHAR end) {
    if (p + sizeof(USB_COMMON_DESCRIPTOR) > end) return nullptr;
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + d->bLength > end) return nullptr;
    return d;
}

PUCHAR configurationEnd(PUSB_CONFIGURATION_DESCRIPTOR config) {
    return reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
}

PURB createConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY list,
                                const void* caller) {
    if (!config || !list) return nullptr;
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = list; e->InterfaceDescriptor; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0) return nullptr;
    // The request carries at least the one interface record its layout holds.
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > MAXUSHORT) return nullptr;

    auto* urb = static_cast<PURB>(
        host::machineOf("USBD_CreateConfigurationRequestEx").pool().allocate(NonPagedPool, size, kUsbdTag, caller));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = USHORT(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = list; e->InterfaceDescriptor; ++e) {
        PUSB_INTERFACE_DESCRIPTOR id = e->InterfaceDescriptor;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(id->bNumEndpoints));
        info->InterfaceNumber = id->bInterfaceNumber;
        info->AlternateSetting = id->bAlternateSetting;
        info->NumberOfPipes = id->bNumEndpoints;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[p].PipeFlags = 0;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    return urb;
}

} // namespace

EXTERN_C_START

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x0200;
}

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    PUCHAR end = begin + TotalLength;
    auto* p = static_cast<PUCHAR>(StartPosition);
    if (!begin || p < begin) return nullptr;
    while (PUSB_COMMON_DESCRIPTOR d = descriptorAt(p, end)) {
        if (d->bDescriptorType == DescriptorType) return d;
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (!ConfigurationDescriptor) return nullptr;
    PUCHAR end = configurationEnd(ConfigurationDescriptor);
    auto* p = static_cast<PUCHAR>(StartPosition);
    while (PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(ConfigurationDescriptor,
                                                            ULONG(end - reinterpret_cast<PUCHAR>(ConfigurationDescriptor)),
                                                            p, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || id->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || id->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || id->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || id->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || id->bInterfaceProtocol == InterfaceProtocol))
            return id;
        p = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    return createConfigurationRequest(ConfigurationDescriptor, InterfaceList, __builtin_return_address(0));
}

// The older form: every interface of the configuration in its alternate
// setting 0.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    if (Siz) *Siz = 0;
    if (!ConfigurationDescriptor) return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[33] = {};
    ULONG n = 0;
    for (ULONG i = 0; i < ConfigurationDescriptor->bNumInterfaces && n < 32; ++i) {
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, LONG(i), 0, -1, -1, -1);
        if (id) list[n++].InterfaceDescriptor = id;
    }
    PURB urb = createConfigurationRequest(ConfigurationDescriptor, list, __builtin_return_address(0));
    if (urb && Siz) *Siz = urb->UrbHeader.Length;
    return urb;
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    // The interface descriptor and everything up to the next interface descriptor.
    auto* p = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    PUSB_COMMON_DESCRIPTOR d = descriptorAt(p, BufferEnd);
    if (!d) return 0;
    ULONG length = d->bLength;
    p += d->bLength;
    while ((d = descriptorAt(p, BufferEnd)) && d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
        length += d->bLength;
        p += d->bLength;
    }
    return length;
}

EXTERN_C_END

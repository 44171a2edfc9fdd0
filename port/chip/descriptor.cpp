/*
 * What the driver reads out of its USB descriptors and interface
 * information: the port index and whether the interface has the pipes of
 * a port. Plain logic at any IRQL.
 */
#include "../frame/driver.h"

/* Byte 13 of the device descriptor is the high byte of bcdDevice. */
#define DEVICE_DESCRIPTOR_PORT_BYTE 13

/*
 * The port index encoded in a device descriptor; FALSE when the descriptor
 * is too short or encodes no port (low nibble 0).
 */
BOOLEAN PortIndexFromDeviceDescriptor(const UCHAR *Descriptor, ULONG Length, PLONG PortIndex)
{
    if (Descriptor == NULL || Length <= DEVICE_DESCRIPTOR_PORT_BYTE)
        return FALSE;
    LONG nibble = Descriptor[DEVICE_DESCRIPTOR_PORT_BYTE] & 0x0F;
    if (nibble == 0)
        return FALSE;
    *PortIndex = nibble - 1;
    return TRUE;
}

/*
 * TRUE when interface information of Available bytes is consistent and
 * holds the three pipes a port uses.
 */
BOOLEAN InterfaceHasPortPipes(const USBD_INTERFACE_INFORMATION *Interface, ULONG Available)
{
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    if (Interface == NULL || Available < header)
        return FALSE;
    if (Interface->Length > Available || Interface->Length < header)
        return FALSE;
    if (Interface->NumberOfPipes < PORT_PIPE_COUNT)
        return FALSE;
    ULONG pipes = (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
    return pipes >= Interface->NumberOfPipes ? TRUE : FALSE;
}

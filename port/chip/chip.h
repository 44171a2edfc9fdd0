/*
 * Chip access: the vendor register protocol, the two-wire master on the
 * GPIO register, USB descriptors, configuration and pipes.
 */
#pragma once

/* Fewest pipes a port needs: interrupt-in, bulk-in, bulk-out, in this order. */
#define PORT_PIPE_COUNT                   3
#define PORT_PIPE_INTERRUPT_IN            0
#define PORT_PIPE_BULK_IN                 1
#define PORT_PIPE_BULK_OUT                2

/* Length of the first descriptor reads of ConfigureDevice. */
#define CONFIGURATION_READ_SIZE           521
/* Reads of the configuration descriptor before its length must have settled. */
#define CONFIGURATION_READ_PASSES         3
#define SELECT_CONFIGURATION_ATTEMPTS     4
/* A lower driver gets this long (ms) for a request before it is cancelled. */
#define URB_TIMEOUT_MS                    1000

EXTERN_C_START

/*
 * register.cpp: PASSIVE_LEVEL or APC_LEVEL (they wait on RegisterMutex).
 * ReadRegister and WriteRegister always go to the device; UpdateRegister
 * goes through the register image.
 */
NTSTATUS ReadRegister(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, PUCHAR Buffer);
NTSTATUS WriteRegister(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, PUCHAR Buffer);
NTSTATUS UpdateRegister(PDEVICE_EXTENSION Port, USHORT Address, UCHAR Mask, UCHAR Bits, PUCHAR Read,
                        PUCHAR Written);

/*
 * register_image.cpp: the port's image of the registers only the driver
 * changes. GetRegister, SetRegister, DivisorLatchHolds: PASSIVE_LEVEL or
 * APC_LEVEL; LoadRegisterImage and the bypass: PASSIVE_LEVEL; the
 * invalidation: any IRQL. NoteRegisterTransfer is ReadRegister's and
 * WriteRegister's, with RegisterMutex held.
 */
NTSTATUS GetRegister(PDEVICE_EXTENSION Port, USHORT Address, PUCHAR Value);
NTSTATUS SetRegister(PDEVICE_EXTENSION Port, USHORT Address, UCHAR Value);
BOOLEAN DivisorLatchHolds(PDEVICE_EXTENSION Port, USHORT Divisor);
VOID LoadRegisterImage(PDEVICE_EXTENSION Port);
VOID InvalidateRegisterImage(PDEVICE_EXTENSION Port);
LONG RegisterImageGeneration(PDEVICE_EXTENSION Port);
VOID EnterRegisterBypass(PDEVICE_EXTENSION Port);
VOID LeaveRegisterBypass(PDEVICE_EXTENSION Port);
VOID NoteRegisterTransfer(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, const UCHAR *Buffer,
                          BOOLEAN Read, NTSTATUS Status, LONG Generation);

/* The oversampling code of SERIAL_SAMPLE_CONFIG_REG for a rate of 16, 12, 8 or 4. */
UCHAR SampleRateCode(UCHAR SampleRate);

/* urb.cpp: PASSIVE_LEVEL. */
NTSTATUS SubmitUrbSynchronously(PDEVICE_EXTENSION Port, PURB Urb);
/* Any IRQL: sleeps below DISPATCH_LEVEL, stalls 100 us per ms at or above it. */
VOID DelayMilliseconds(ULONG Milliseconds);

/* i2c.cpp: the two-wire master. PASSIVE_LEVEL. */
NTSTATUS I2cStart(PDEVICE_EXTENSION Port);
NTSTATUS I2cRestart(PDEVICE_EXTENSION Port);
NTSTATUS I2cStop(PDEVICE_EXTENSION Port);
UCHAR I2cWriteByte(PDEVICE_EXTENSION Port, UCHAR Value);    /* 0: acknowledged */
UCHAR I2cReadByte(PDEVICE_EXTENSION Port);
NTSTATUS I2cSendAck(PDEVICE_EXTENSION Port, BOOLEAN Ack);

/* configuration.cpp: PASSIVE_LEVEL; descriptor.cpp: any IRQL. */
NTSTATUS ReadDeviceDescriptor(PDEVICE_EXTENSION Port);
NTSTATUS ConfigureDevice(PDEVICE_EXTENSION Port);
NTSTATUS SelectConfiguration(PDEVICE_EXTENSION Port, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
BOOLEAN PortIndexFromDeviceDescriptor(const UCHAR *Descriptor, ULONG Length, PLONG PortIndex);
BOOLEAN InterfaceHasPortPipes(const USBD_INTERFACE_INFORMATION *Interface, ULONG Available);

/* pipe.cpp: PASSIVE_LEVEL. */
NTSTATUS ResetPipe(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPort(PDEVICE_EXTENSION Port);

EXTERN_C_END

/*
 * The port's settings after a power-up. The UART loses its registers while
 * the device is powered down, so everything the port runs with is written
 * again, through the hardware, in one routine: the transceiver outputs, the
 * mode flags of SERIAL_CONFIG_REG0, reception and status reports, the
 * interrupt enable register, the line rate and line control, and the modem
 * lines as they were when the port left D0.
 *
 * The register image cannot be trusted after a power-up: the restore holds
 * the register mutex and bypasses the image, so every register goes
 * through the hardware, read and written as it always was, and the image
 * is filled again from what the restore reads and writes.
 *
 * Every access is a synchronous vendor request under the register mutex:
 * PASSIVE_LEVEL.
 */
#include "../frame/driver.h"

/* The port's settings written to the UART again after a power-up. PASSIVE_LEVEL. */
VOID RestorePortSettings(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    PortTrace(Port->DeviceObject, "-- RestorePortSettings BaudRate=%d\n", Port->BaudRate);
    WriteSharedLong(&Port->WakeArmed, 0);
    WriteSharedLong(&Port->IdleRequestPending, 0);

    EnterRegisterBypass(Port);
    SetTransceiverMode(Port, Port->PortMode);
    if (Port->PortModeFlags & 0x03) {
        UCHAR config0 = 0;
        if (NT_SUCCESS(ReadRegister(Port, SERIAL_CONFIG_REG0, 1, &config0))) {
            config0 = ApplyPortModeFlags(Port, config0);
            WriteRegister(Port, SERIAL_CONFIG_REG0, 1, &config0);
        }
    }

    KeSetEvent(&Port->ReadEvent, IO_NO_INCREMENT, FALSE);
    WriteSharedLong(&Port->RestoreNeeded, 0);
    KeSetEvent(&Port->InterruptEvent, IO_NO_INCREMENT, FALSE);

    UCHAR ier = Port->MsrInterruptOff ? 0 : IER_MODEM_STATUS;
    WriteRegister(Port, INTERRUPT_ENABLE_REGISTER, 1, &ier);
    SerialSetBaudRateAndLineControl(Port, Port->BaudRate, NULL);

    /* DTR, RTS, OUT2 and loopback as the port had them before it slept. */
    if (Port->ModemControlSaved) {
        Port->ModemControlSaved = 0;
        WriteRegister(Port, MODEM_CONTROL_REGISTER, 1, &Port->SavedModemControl);
    }
    LeaveRegisterBypass(Port);
}

/*
 * Keeps the modem control register as the port leaves D0, for the restore:
 * the UART forgets it while powered down. PASSIVE_LEVEL.
 */
VOID SaveModemLines(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    UCHAR mcr = 0;
    if (NT_SUCCESS(GetRegister(Port, MODEM_CONTROL_REGISTER, &mcr))) {
        Port->SavedModemControl = mcr;
        Port->ModemControlSaved = 1;
    }
}

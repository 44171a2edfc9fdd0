/*
 * The two power switches of a port, "DeviceEnable" (idle power-down) and
 * "DeviceWakeEnable" (remote wake), as WMI sets them: the field, the
 * transceiver enable bit 7 of SERIAL_GPIO_REG (cleared while either switch
 * is on), the power state that follows and the value in the device's
 * hardware key. A chip of revision 0 has neither: its switches stay 0.
 *
 * Every routine here waits for the device: PASSIVE_LEVEL.
 */
#include "../frame/driver.h"

/* The WDM version from which the USB idle notification exists. */
#define IDLE_NOTIFICATION_WDM_MAJOR 1
#define IDLE_NOTIFICATION_WDM_MINOR 0x20

/*
 * Sets or clears the device's remote-wake feature with a synchronous
 * standard feature request; its status is the result (also the USB
 * maintenance controls' wake switch). PASSIVE_LEVEL.
 */
NTSTATUS SetRemoteWakeFeature(PDEVICE_EXTENSION Port, BOOLEAN Set)
{
    PAGED_CODE();
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildFeatureRequest(&urb, Set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                           USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
    return SubmitUrbSynchronously(Port, &urb);
}

/*
 * Stores a switch, then follows it on SERIAL_GPIO_REG bit 7. FALSE when
 * nothing changes (the same value, or a chip without the switches).
 */
static BOOLEAN StoreSwitch(PDEVICE_EXTENSION Port, volatile LONG *Switch, UCHAR Value)
{
    if (ReadSharedLong(Switch) == (LONG)Value)
        return FALSE;
    if (Port->ChipRevision == 0) {
        WriteSharedLong(Switch, 0);
        return FALSE;
    }
    WriteSharedLong(Switch, Value);
    UCHAR gpio = 0;
    if (NT_SUCCESS(ReadRegister(Port, SERIAL_GPIO_REG, 1, &gpio))) {
        if (ReadSharedLong(&Port->DeviceEnable) || ReadSharedLong(&Port->DeviceWakeEnable))
            gpio &= (UCHAR)~GPIO_TRANSCEIVER_ENABLE;
        else
            gpio |= GPIO_TRANSCEIVER_ENABLE;
        WriteRegister(Port, SERIAL_GPIO_REG, 1, &gpio);
    }
    return TRUE;
}

/*
 * Idle power-down starts: through the USB idle notification where the
 * platform has it, otherwise by going to D3 at once while started.
 */
static VOID StartPowerDown(PDEVICE_EXTENSION Port)
{
    if (IoIsWdmVersionAvailable(IDLE_NOTIFICATION_WDM_MAJOR, IDLE_NOTIFICATION_WDM_MINOR)) {
        SubmitIdleRequest(Port);
    } else if (ReadSharedLong(&Port->DeviceState) <= PortStateStarted) {
        SendDeviceSetPower(Port, PowerDeviceD3, TRUE);
    }
}

/* The switch's value in the device's hardware key; nothing when the key cannot be opened. */
static VOID WriteSwitchValue(PDEVICE_EXTENSION Port, PCWSTR ValueName, UCHAR Value)
{
    HANDLE key = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &key)))
        return;
    ULONG data = Value;
    SetDeviceValue(key, ValueName, REG_DWORD, &data, sizeof(data));
    ZwClose(key);
}

/* "DeviceEnable": idle power-down allowed. PASSIVE_LEVEL. */
VOID SetDeviceEnable(PDEVICE_EXTENSION Port, UCHAR Value)
{
    PAGED_CODE();
    if (!StoreSwitch(Port, &Port->DeviceEnable, Value))
        return;
    if (Value)
        StartPowerDown(Port);
    else
        RequestPowerUp(Port);
    WriteSwitchValue(Port, L"DeviceEnable", Value);
}

/* "DeviceWakeEnable": remote wake allowed. PASSIVE_LEVEL. */
VOID SetDeviceWakeEnable(PDEVICE_EXTENSION Port, UCHAR Value)
{
    PAGED_CODE();
    if (!StoreSwitch(Port, &Port->DeviceWakeEnable, Value))
        return;
    if (Value) {
        RequestPowerUp(Port);
        if (ReadSharedLong(&Port->DeviceEnable))
            StartPowerDown(Port);
    }
    WriteSwitchValue(Port, L"DeviceWakeEnable", Value);
}

/*
 * Handshake settings and the DTR and RTS lines of the modem control
 * register.
 *
 * The four line operations are read-modify-writes of MODEM_CONTROL_REGISTER
 * (bit 0 DTR, bit 1 RTS) through the register image, so a line already as
 * asked costs no transfer; they leave the lines alone while AutoFlowControl
 * is set. SerialSetupNewHandFlow applies a new handshake record: only a
 * change of the DTR mode or of the RTS mode touches a line; the record is
 * stored whole. The handshake modes that follow the modem inputs are acted
 * on by the modem-status handling, which reads HandFlow.
 *
 * Every register access is a synchronous vendor request: PASSIVE_LEVEL.
 */
#include "../frame/driver.h"

/* RxHoldFlags bits that a DTR or an RTS mode change releases. */
#define RX_HOLD_DTR_FLOW 0x01
#define RX_HOLD_RTS_FLOW 0x04

/* PASSIVE_LEVEL. */
NTSTATUS SetDtrLine(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    PortTrace(device, "-- Setting DTR \n");
    if (Port->AutoFlowControl != 0) {
        PortTrace(device, "-- AutoFlowControl=%d \n", Port->AutoFlowControl);
        return STATUS_SUCCESS;
    }
    UCHAR value;
    NTSTATUS status = UpdateRegister(Port, MODEM_CONTROL_REGISTER, MCR_DTR, MCR_DTR, NULL, &value);
    PortTrace(device, "-- Setting DTR for %x=%x\n", MODEM_CONTROL_REGISTER, value);
    return status;
}

/* PASSIVE_LEVEL. */
NTSTATUS ClearDtrLine(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    PortTrace(device, "-- Clr DTR \n");
    if (Port->AutoFlowControl != 0) {
        PortTrace(device, "-- AutoFlowControl=%d \n", Port->AutoFlowControl);
        return STATUS_SUCCESS;
    }
    UCHAR value;
    NTSTATUS status = UpdateRegister(Port, MODEM_CONTROL_REGISTER, MCR_DTR, 0, NULL, &value);
    PortTrace(device, "-- Clring DTR for %x=%x\n", MODEM_CONTROL_REGISTER, value);
    PortTrace(device, "-- Status =%x\n", status);
    return status;
}

/* PASSIVE_LEVEL. */
NTSTATUS SetRtsLine(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    PortTrace(device, "-- Setting RTS \n");
    if (Port->AutoFlowControl != 0) {
        PortTrace(device, "-- AutoFlowControl=%d \n", Port->AutoFlowControl);
        return STATUS_SUCCESS;
    }
    UCHAR value;
    NTSTATUS status = UpdateRegister(Port, MODEM_CONTROL_REGISTER, MCR_RTS, MCR_RTS, NULL, &value);
    PortTrace(device, "-- Setting RTS for %x=%x\n", MODEM_CONTROL_REGISTER, value);
    return status;
}

/* PASSIVE_LEVEL. */
NTSTATUS ClearRtsLine(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (Port->AutoFlowControl != 0) {
        PortTrace(device, "-- clr RTS AutoFlowControl=%d \n", Port->AutoFlowControl);
        return STATUS_SUCCESS;
    }
    UCHAR read;
    UCHAR value;
    NTSTATUS status = UpdateRegister(Port, MODEM_CONTROL_REGISTER, MCR_RTS, 0, &read, &value);
    PortTrace(device, "-- Clr RTS %x\n", read);
    PortTrace(device, "-- Clring RTS for %x=%x\n", MODEM_CONTROL_REGISTER, value);
    return status;
}

/*
 * Raises DTR and RTS and sets OtherBits of MODEM_CONTROL_REGISTER (OUT2
 * and loopback at open) in one read-modify-write, so that opening a port
 * costs one write of the register instead of three. DTR and RTS stay as
 * they are while AutoFlowControl is set. Returns the OR of the read and
 * write statuses. PASSIVE_LEVEL.
 */
NTSTATUS RaiseModemLines(PDEVICE_EXTENSION Port, UCHAR OtherBits)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    UCHAR lines = 0;
    PortTrace(device, "-- Setting DTR \n");
    PortTrace(device, "-- Setting RTS \n");
    if (Port->AutoFlowControl != 0)
        PortTrace(device, "-- AutoFlowControl=%d \n", Port->AutoFlowControl);
    else
        lines = MCR_DTR | MCR_RTS;
    UCHAR bits = (UCHAR)(OtherBits | lines);
    UCHAR value;
    NTSTATUS status = UpdateRegister(Port, MODEM_CONTROL_REGISTER, bits, bits, NULL, &value);
    if (lines != 0) {
        PortTrace(device, "-- Setting DTR for %x=%x\n", MODEM_CONTROL_REGISTER, value);
        PortTrace(device, "-- Setting RTS for %x=%x\n", MODEM_CONTROL_REGISTER, value);
    }
    return status;
}

/* Clears bits of RxHoldFlags; the modem-status worker changes it too. */
static VOID ReleaseRxHold(PDEVICE_EXTENSION Port, ULONG Bits)
{
    ClearSharedBits(&Port->RxHoldFlags, Bits);
}

/* The DTR line for a new DTR mode (SERIAL_DTR_MASK). PASSIVE_LEVEL. */
static VOID ApplyDtrMode(PDEVICE_EXTENSION Port, ULONG Mode)
{
    PDEVICE_OBJECT device = Port->DeviceObject;
    PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow\n");
    switch (Mode) {
    case 0:
        PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_1_else\n");
        ReleaseRxHold(Port, RX_HOLD_DTR_FLOW);
        ClearDtrLine(Port);
        break;
    case SERIAL_DTR_HANDSHAKE:
        PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_1\n");
        PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_2\n");
        if (ReadSharedUlong(&Port->RxHoldFlags) & RX_HOLD_DTR_FLOW)
            PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_3\n");
        else
            PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_3_else\n");
        SetDtrLine(Port);
        break;
    default:
        /* SERIAL_DTR_CONTROL, and the undefined mode 3 taken as it. */
        PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_1\n");
        PortTrace(device, "Processing DTR flow for SerialSetupNewHandFlow_2_else\n");
        ReleaseRxHold(Port, RX_HOLD_DTR_FLOW);
        SetDtrLine(Port);
        break;
    }
}

/* The RTS line for a new RTS mode (SERIAL_RTS_MASK). PASSIVE_LEVEL. */
static VOID ApplyRtsMode(PDEVICE_EXTENSION Port, ULONG Mode)
{
    PDEVICE_OBJECT device = Port->DeviceObject;
    PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow\n");
    switch (Mode) {
    case SERIAL_RTS_HANDSHAKE:
        PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1\n");
        if (ReadSharedUlong(&Port->RxHoldFlags) & RX_HOLD_RTS_FLOW) {
            PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_2\n");
            ReleaseRxHold(Port, RX_HOLD_RTS_FLOW);
        } else {
            PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_2_else\n");
        }
        SetRtsLine(Port);
        break;
    case SERIAL_RTS_CONTROL:
        PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1.1\n");
        if (ReadSharedUlong(&Port->RxHoldFlags) & RX_HOLD_RTS_FLOW) {
            PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1.1.1\n");
            ReleaseRxHold(Port, RX_HOLD_RTS_FLOW);
        }
        SetRtsLine(Port);
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        /* RTS is raised by the break control instead; the line stays as it is. */
        PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1.2\n");
        if (ReadSharedUlong(&Port->RxHoldFlags) & RX_HOLD_RTS_FLOW) {
            PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1.2.1\n");
            ReleaseRxHold(Port, RX_HOLD_RTS_FLOW);
        }
        break;
    default:
        PortTrace(device, "Processing RTS flow for SerialSetupNewHandFlow_1_else\n");
        ReleaseRxHold(Port, RX_HOLD_RTS_FLOW);
        ClearRtsLine(Port);
        break;
    }
}

/*
 * Applies a new handshake record to the lines and stores it. The record is
 * taken as given (no field is validated); the statuses of the line
 * operations are not reported. PASSIVE_LEVEL.
 */
VOID SerialSetupNewHandFlow(PDEVICE_EXTENSION Port, PSERIAL_HANDFLOW NewHandFlow)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    SERIAL_HANDFLOW handFlow = *NewHandFlow;
    ULONG record = (ULONG)(ULONG_PTR)Port;

    PortTrace(device, " Enter SerialSetupNewHandFlow New.FlowReplace = 0x%x New.ControlHandShake = 0x%x\n",
              handFlow.FlowReplace, handFlow.ControlHandShake);
    PortTrace(device,
              " Enter SerialSetupNewHandFlow HandFlow.FlowReplace = 0x%x HandFlow.ControlHandShake = 0x%x\n",
              Port->HandFlow.FlowReplace, Port->HandFlow.ControlHandShake);
    UCHAR portControl = 0;
    GetRegister(Port, SERIAL_PORT_CONTROL_REG, &portControl);
    PortTrace(device, "****** pdx=%x,  autoflow=%x, flag=%x\n", record, portControl, Port->AutoFlowControl);

    ULONG dtrMode = handFlow.ControlHandShake & SERIAL_DTR_MASK;
    if (dtrMode != (Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK))
        ApplyDtrMode(Port, dtrMode);

    ULONG rtsMode = handFlow.FlowReplace & SERIAL_RTS_MASK;
    if (rtsMode != (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK))
        ApplyRtsMode(Port, rtsMode);

    PortTrace(device, "SerialSetupNewHandFlow %x\n", record);
    Port->HandFlow = handFlow;
    PortTrace(device, "Exit SerialSetupNewHandFlow %x\n", record);
}

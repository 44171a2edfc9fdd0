/*
 * Register map of a Zephan UART device.
 *
 * Every UART is a USB device of its own, so all ports use the same
 * addresses. An address is the value field of the vendor register request;
 * the 16550 UART registers sit at 0x120.
 */
#pragma once

/* The vendor register request. */
#define ZEPHAN_REGISTER_REQUEST           0xA0
#define ZEPHAN_REQUEST_TYPE_READ          0xC0   /* device-to-host, vendor, device */
#define ZEPHAN_REQUEST_TYPE_WRITE         0x40   /* host-to-device, vendor, device */
#define REGISTER_ACCESS_ATTEMPTS          20

/* Port-control registers. */
#define SERIAL_SAMPLE_CONFIG_REG          0x105
#define SERIAL_CONFIG_REG0                0x106
#define SERIAL_CONFIG_REG1                0x107
#define SERIAL_VENDOR_CONTROL_REG0        0x108
#define SERIAL_VENDOR_CONTROL_REG1        0x109
#define SERIAL_VENDOR_CONTROL_REG2        0x10A
#define SERIAL_PORT_AUX_REG0              0x10B
#define SERIAL_PORT_AUX_REG1              0x10C
#define SERIAL_PORT_CONTROL_REG           0x10D
#define SERIAL_GPIO_REG                   0x10E
#define SERIAL_GPIO_STATUS_REG            0x10F

/* 16550 UART. */
#define RECEIVE_BUFFER_REGISTER           0x120
#define TRANSMIT_HOLDING_REGISTER         0x120
#define DIVISOR_LATCH_LSB                 0x120
#define INTERRUPT_ENABLE_REGISTER         0x121
#define DIVISOR_LATCH_MSB                 0x121
#define FIFO_CONTROL_REGISTER             0x122
#define INTERRUPT_IDENT_REGISTER          0x122
#define LINE_CONTROL_REGISTER             0x123
#define MODEM_CONTROL_REGISTER            0x124
#define LINE_STATUS_REGISTER              0x125
#define MODEM_STATUS_REGISTER             0x126

/* SERIAL_SAMPLE_CONFIG_REG */
#define SAMPLE_CONFIG_KEEP_MASK           0x02   /* bit 1 is preserved on every write */
#define SAMPLE_CONFIG_BIT0                0x01
#define SAMPLE_CONFIG_RATE_MASK           0x0C
#define SAMPLE_CONFIG_RATE_16             0x00
#define SAMPLE_CONFIG_RATE_12             0x04
#define SAMPLE_CONFIG_RATE_8              0x08
#define SAMPLE_CONFIG_RATE_4              0x0C
#define SAMPLE_CONFIG_BITS_SHIFT          4

/* SERIAL_CONFIG_REG0 */
#define CONFIG0_UART_CLOCK_MASK           0x03
#define CONFIG0_MODE_FLAG0                0x04
#define CONFIG0_MODE_FLAG1                0x08   /* also toggled by the break controls */

/* SERIAL_CONFIG_REG1 */
#define CONFIG1_ALWAYS_SET                0x03
#define CONFIG1_TRIGGER_SCALE_MASK        0x0C

/* SERIAL_PORT_CONTROL_REG */
#define PORT_CONTROL_LINE_MASK            0x0F   /* cleared at close */
#define PORT_CONTROL_HIGH_CLOCK           0x20
#define PORT_CONTROL_OPEN                 0x40

/* SERIAL_GPIO_REG */
#define GPIO_GROUP_MASK                   0x03   /* read at start: ChipGroup */
#define GPIO_LOW_NIBBLE                   0x0F   /* written 0 at start */
#define GPIO_I2C_SCL                      0x10
#define GPIO_I2C_SDA                      0x20
#define GPIO_MODE_MASK                    0x70   /* transceiver mode outputs */
#define GPIO_MODE_SHIFT                   4
#define GPIO_KEEP_MASK                    0x88   /* kept when the mode outputs change */
#define GPIO_TRANSCEIVER_ENABLE           0x80

/* SERIAL_GPIO_STATUS_REG */
#define GPIO_STATUS_STRAP_MASK            0x07
#define GPIO_STATUS_I2C_SDA_IN            0x02
#define GPIO_STATUS_REVISION_MASK         0x70
#define GPIO_STATUS_REVISION_SHIFT        4

/* INTERRUPT_ENABLE_REGISTER */
#define IER_MODEM_STATUS                  0x08

/* FIFO_CONTROL_REGISTER / INTERRUPT_IDENT_REGISTER */
#define FCR_ENABLE                        0x01
#define FCR_RESET_RECEIVE                 0x02
#define FCR_RESET_TRANSMIT                0x04
#define FCR_TRIGGER_MASK                  0xC0
#define IIR_FIFOS_ENABLED                 0xC0

/* LINE_CONTROL_REGISTER */
#define LCR_WORD_LENGTH_MASK              0x03
#define LCR_STOP_BITS                     0x04
#define LCR_PARITY_MASK                   0x38
#define LCR_BREAK                         0x40
#define LCR_DIVISOR_LATCH                 0x80

/* LINE_STATUS_REGISTER (also the status byte of every bulk-in packet) */
#define SERIAL_LSR_DR                     0x01
#define SERIAL_LSR_OE                     0x02
#define SERIAL_LSR_PE                     0x04
#define SERIAL_LSR_FE                     0x08
#define SERIAL_LSR_BI                     0x10
#define SERIAL_LSR_THRE                   0x20
#define SERIAL_LSR_TEMT                   0x40
#define SERIAL_LSR_FIFOERR                0x80

/* MODEM_STATUS_REGISTER: change bits (cleared by a read), then line states */
#define SERIAL_MSR_DCTS                   0x01
#define SERIAL_MSR_DDSR                   0x02
#define SERIAL_MSR_TERI                   0x04
#define SERIAL_MSR_DDCD                   0x08
#define SERIAL_MSR_CTS                    0x10
#define SERIAL_MSR_DSR                    0x20
#define SERIAL_MSR_RI                     0x40
#define SERIAL_MSR_DCD                    0x80

/* MODEM_CONTROL_REGISTER */
#define MCR_DTR                           0x01
#define MCR_RTS                           0x02
#define MCR_OUT2                          0x08
#define MCR_LOOPBACK                      0x10

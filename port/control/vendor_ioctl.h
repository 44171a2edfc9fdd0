/*
 * The port driver's own device-control codes, for the driver and for the
 * programs that send them (vendor tools, tests). Include it after a header
 * that defines CTL_CODE (wdm.h, winioctl.h).
 *
 * Port settings and the settings file: device type 0x1B, functions from
 * 0xB0C. Register, two-wire bus and USB maintenance: device type 0x1B from
 * 0xB24, and device type 0x22 from 0xA00. All with FILE_ANY_ACCESS.
 */
#pragma once

#define ZEPHAN_SERIAL_DEVICE_TYPE 0x1B          /* FILE_DEVICE_SERIAL_PORT */
#define ZEPHAN_MAINTENANCE_DEVICE_TYPE 0x22     /* FILE_DEVICE_UNKNOWN */

#define ZEPHAN_SERIAL_CODE(Function) \
    CTL_CODE(ZEPHAN_SERIAL_DEVICE_TYPE, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define ZEPHAN_MAINTENANCE_CODE(Function, Method) \
    CTL_CODE(ZEPHAN_MAINTENANCE_DEVICE_TYPE, (Function), (Method), FILE_ANY_ACCESS)

/* Port settings (0x1B2C30 ...). */
#define IOCTL_GET_PORT_BAUDRATE           ZEPHAN_SERIAL_CODE(0xB0C)   /* 0x1B2C30 */
#define IOCTL_SET_PORT_BAUDRATE           ZEPHAN_SERIAL_CODE(0xB0D)   /* 0x1B2C34 */
#define IOCTL_GET_PORT_MODE               ZEPHAN_SERIAL_CODE(0xB0E)   /* 0x1B2C38 */
#define IOCTL_SET_PORT_MODE               ZEPHAN_SERIAL_CODE(0xB0F)   /* 0x1B2C3C */
#define IOCTL_SET_PORT_NAME               ZEPHAN_SERIAL_CODE(0xB12)   /* 0x1B2C48 */
#define IOCTL_PORT_GET_NUMBER             ZEPHAN_SERIAL_CODE(0xB13)   /* 0x1B2C4C */
#define IOCTL_GET_MAX_WRITE_LENGTH        ZEPHAN_SERIAL_CODE(0xB14)   /* 0x1B2C50 */
#define IOCTL_SET_MAX_WRITE_LENGTH        ZEPHAN_SERIAL_CODE(0xB15)   /* 0x1B2C54 */
#define IOCTL_GET_RX_TRIGGER              ZEPHAN_SERIAL_CODE(0xB16)   /* 0x1B2C58 */
#define IOCTL_SET_RX_TRIGGER              ZEPHAN_SERIAL_CODE(0xB17)   /* 0x1B2C5C */

/* Register and two-wire bus maintenance on the serial device type (0x1B2C90 ...). */
#define IOCTL_SET_EXT_CONFIG              ZEPHAN_SERIAL_CODE(0xB24)   /* 0x1B2C90 */
#define IOCTL_SET_NINTH_BIT               ZEPHAN_SERIAL_CODE(0xB25)   /* 0x1B2C94 */
#define IOCTL_VENDOR_NOP                  ZEPHAN_SERIAL_CODE(0xB26)   /* 0x1B2C98 */
#define IOCTL_GET_IER                     ZEPHAN_SERIAL_CODE(0xB27)   /* 0x1B2C9C */
#define IOCTL_SET_IER                     ZEPHAN_SERIAL_CODE(0xB28)   /* 0x1B2CA0 */
#define IOCTL_I2C_READ                    ZEPHAN_SERIAL_CODE(0xB30)   /* 0x1B2CC0 */
#define IOCTL_I2C_WRITE                   ZEPHAN_SERIAL_CODE(0xB31)   /* 0x1B2CC4 */

/* USB and register maintenance (0x222800 ...). */
#define IOCTL_USB_RESET_PIPE              ZEPHAN_MAINTENANCE_CODE(0xA00, METHOD_BUFFERED)  /* 0x222800 */
#define IOCTL_USB_GET_CONFIG_DESCRIPTOR   ZEPHAN_MAINTENANCE_CODE(0xA01, METHOD_BUFFERED)  /* 0x222804 */
#define IOCTL_USB_RESET_PORT              ZEPHAN_MAINTENANCE_CODE(0xA02, METHOD_BUFFERED)  /* 0x222808 */
#define IOCTL_READ_REGISTER               ZEPHAN_MAINTENANCE_CODE(0xA03, METHOD_BUFFERED)  /* 0x22280C */
#define IOCTL_WRITE_REGISTER              ZEPHAN_MAINTENANCE_CODE(0xA04, METHOD_BUFFERED)  /* 0x222810 */
#define IOCTL_FEATURE_CLEAR               ZEPHAN_MAINTENANCE_CODE(0xA05, METHOD_NEITHER)   /* 0x222817 */
#define IOCTL_FEATURE_SET                 ZEPHAN_MAINTENANCE_CODE(0xA06, METHOD_NEITHER)   /* 0x22281B */
#define IOCTL_RECEIVE_ON                  ZEPHAN_MAINTENANCE_CODE(0xA0A, METHOD_BUFFERED)  /* 0x222828 */
#define IOCTL_RECEIVE_OFF                 ZEPHAN_MAINTENANCE_CODE(0xA0B, METHOD_BUFFERED)  /* 0x22282C */

/*
 * The two comm-configuration controls of the serial device type; not every
 * edition of the platform's serial header names them.
 */
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG       CTL_CODE(ZEPHAN_SERIAL_DEVICE_TYPE, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG       CTL_CODE(ZEPHAN_SERIAL_DEVICE_TYPE, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

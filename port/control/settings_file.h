/*
 * Layout of the settings file that every port of every controller on the
 * machine shares, for the driver and for the tools that prepare the file.
 * Plain numbers only, so any program can include it.
 *
 * The file is 1536 bytes, always read and written whole at offset 0:
 *   0x000-0x1FD  not interpreted by the driver, kept on every rewrite
 *   0x1FE        1: the open sequence leaves the modem-status interrupt off
 *   0x1FF        1: the open sequence turns the UART's loopback on
 *   0x200        four blocks of 256 bytes, one per chip group (0-3), each
 *                of sixteen 16-byte records, one per port index (0-15)
 */
#pragma once

#define SETTINGS_FILE_NAME          "LumoraSetting.bin"
#define SETTINGS_FILE_BYTES         0x600
#define SETTINGS_MSR_OFF_OFFSET     0x1FE
#define SETTINGS_LOOPBACK_OFFSET    0x1FF
#define SETTINGS_RECORDS_OFFSET     0x200
#define SETTINGS_CHIP_GROUPS        4
#define SETTINGS_GROUP_BYTES        256
#define SETTINGS_RECORDS_PER_GROUP  16
#define SETTINGS_RECORD_BYTES       16

/* The record of a chip group and port index starts here. */
#define SETTINGS_RECORD_OFFSET(Group, Index) \
    (SETTINGS_RECORDS_OFFSET + (Group) * SETTINGS_GROUP_BYTES + (Index) * SETTINGS_RECORD_BYTES)

/* Bytes of a record. 3 and 12-15 are not read by the driver. */
#define RECORD_PREFERRED_COM        0    /* 1-based COM number; 0 or 0xFF: none */
#define RECORD_MODE_FLAGS           1
#define RECORD_PORT_MODE            2
#define RECORD_MAX_WRITE_LENGTH     4
#define RECORD_RX_TRIGGER_BITS      5
#define RECORD_RX_TRIGGER_SCALE     6
#define RECORD_BAUD_MODE            7
#define RECORD_CUSTOM_CLOCK         8
#define RECORD_CUSTOM_DIVISOR       9
#define RECORD_SAMPLE               10   /* bits 0-3 sample bits, bit 7 sample bit 0; bits 4-6 clear */
#define RECORD_SAMPLE_RATE          11

/* Record byte 0 values that name no COM number. */
#define RECORD_NO_PREFERRED_COM     0xFF

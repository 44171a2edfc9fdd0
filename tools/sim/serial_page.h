/*
 * The side channel between zsim serve and the programs on its ptys.
 *
 * A Linux pty carries data, the rate, the stop bits and flow control, but
 * it forces 8 data bits without parity and has no modem lines (TIOCMGET
 * fails with ENOTTY). For each pty it offers, zsim serve keeps a small
 * shared page in DIR/.serial/pts<N> (N: the pty's number). A program run
 * with the serial shim preloaded (LD_PRELOAD=libzsim_serial.so, ZSIM_DIR=DIR)
 * gets the rest through it: its framing reaches the port, TIOCMGET sees the
 * modem status, TIOCMSET/BIS/BIC move DTR and RTS, and breaks are sent.
 *
 * Plain C, so the shim and the simulator share it. Every field is a 32-bit
 * word read and written with atomic operations (the page is shared between
 * processes); a writer bumps the matching sequence number after the value.
 */
#ifndef ZSIM_SERIAL_PAGE_H
#define ZSIM_SERIAL_PAGE_H

#include <stdint.h>

#define ZSIM_SERIAL_PAGE_MAGIC 0x5A53504Bu /* "ZSPK" */
#define ZSIM_SERIAL_PAGE_DIR ".serial"

struct zsim_serial_page {
    uint32_t magic;
    /* Written by zsim: the line's modem inputs as TIOCM_* bits (CTS, DSR,
       CAR, RNG), and how often they changed. */
    uint32_t modem_in;
    uint32_t modem_in_seq;
    /* Written by the program: DTR and RTS as TIOCM_* bits. */
    uint32_t modem_out;
    uint32_t modem_out_seq;
    /* Written by the program: the c_cflag it last asked for (the pty keeps
       only part of it). 0 in cflag_seq: never set. */
    uint32_t cflag;
    uint32_t cflag_seq;
    /* Written by the program: 1 while a break is on (TIOCSBRK/TIOCCBRK);
       break_pulse_seq counts tcsendbreak calls (a 250 ms break each). */
    uint32_t break_on;
    uint32_t break_seq;
    uint32_t break_pulse_seq;
    /* Written by the program with each request: its process ID, so that
       zsim forgets a program's requests once it has gone, not those of the
       next program on the pty. */
    uint32_t owner;
};

#endif

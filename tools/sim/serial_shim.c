/*
 * libzsim_serial.so: makes zsim serve's ptys whole serial ports for the
 * program it is preloaded into (LD_PRELOAD=.../libzsim_serial.so, with
 * ZSIM_DIR naming the directory zsim serve runs on).
 *
 * A pty keeps only part of what a serial program asks of its port: it
 * forces 8 data bits without parity and refuses the modem-line requests.
 * For a pty that zsim serves (one with a page in ZSIM_DIR/.serial), this
 * library answers those requests through the page (serial_page.h): the
 * framing a program sets reaches the port, TIOCMGET sees the modem status,
 * TIOCMSET, TIOCMBIS and TIOCMBIC move DTR and RTS, TIOCMIWAIT waits for a
 * modem change, and TIOCSBRK, TIOCCBRK and tcsendbreak send breaks. Every
 * other file and request goes to the C library untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "serial_page.h"

/* The cflag bits a pty does not keep. */
#define KEPT_BY_PAGE (CSIZE | PARENB | PARODD | CMSPAR)
/* The kernel's termios2 requests (any rate): the kernel's struct termios2
   is 44 bytes, its c_cflag where struct termios has it. */
#define TERMIOS2_SETS _IOW('T', 0x2B, char[44])
#define TERMIOS2_SETSW _IOW('T', 0x2C, char[44])
#define TERMIOS2_SETSF _IOW('T', 0x2D, char[44])
/* Unix98 pty slaves: majors 136 to 143. */
#define PTS_FIRST_MAJOR 136
#define PTS_LAST_MAJOR 143
#define MAX_PAGES 256

static pthread_mutex_t pages_lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    unsigned minor;
    struct zsim_serial_page *page; /* NULL: looked for and not found */
} pages[MAX_PAGES];
static int page_count;

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);
typedef int (*tcsendbreak_fn)(int, int);

static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

static uint32_t load(const uint32_t *p)
{
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

static void store(uint32_t *p, uint32_t v)
{
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

static void bump(uint32_t *p)
{
    __atomic_add_fetch(p, 1, __ATOMIC_ACQ_REL);
}

/* The page of the pty `fd` is, or NULL when zsim serves no such pty. */
static struct zsim_serial_page *page_of(int fd)
{
    struct stat st;
    const char *dir;
    char path[4096];
    unsigned minor_number;
    int i, page_fd;
    struct zsim_serial_page *page = NULL;

    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < PTS_FIRST_MAJOR ||
        major(st.st_rdev) > PTS_LAST_MAJOR)
        return NULL;
    minor_number = (major(st.st_rdev) - PTS_FIRST_MAJOR) * 256 + minor(st.st_rdev);
    pthread_mutex_lock(&pages_lock);
    for (i = 0; i < page_count; i++)
        if (pages[i].minor == minor_number) {
            page = pages[i].page;
            pthread_mutex_unlock(&pages_lock);
            return page;
        }
    dir = getenv("ZSIM_DIR");
    if (dir && snprintf(path, sizeof path, "%s/%s/pts%u", dir, ZSIM_SERIAL_PAGE_DIR, minor_number) <
                   (int)sizeof path) {
        page_fd = open(path, O_RDWR | O_CLOEXEC);
        if (page_fd >= 0) {
            void *map = mmap(NULL, sizeof *page, PROT_READ | PROT_WRITE, MAP_SHARED, page_fd, 0);
            close(page_fd);
            if (map != MAP_FAILED && ((struct zsim_serial_page *)map)->magic == ZSIM_SERIAL_PAGE_MAGIC)
                page = map;
            else if (map != MAP_FAILED)
                munmap(map, sizeof *page);
        }
    }
    if (page_count < MAX_PAGES) {
        pages[page_count].minor = minor_number;
        pages[page_count].page = page;
        page_count++;
    }
    pthread_mutex_unlock(&pages_lock);
    return page;
}

static void own(struct zsim_serial_page *page)
{
    store(&page->owner, (uint32_t)getpid());
}

static void note_cflag(struct zsim_serial_page *page, tcflag_t cflag)
{
    own(page);
    store(&page->cflag, (uint32_t)cflag);
    bump(&page->cflag_seq);
}

/* The framing a pty keeps: 8 data bits, no parity. */
static tcflag_t pty_framing(tcflag_t cflag)
{
    return (cflag & ~(tcflag_t)KEPT_BY_PAGE) | CS8;
}

static void set_modem(struct zsim_serial_page *page, uint32_t bits)
{
    own(page);
    store(&page->modem_out, bits & (TIOCM_DTR | TIOCM_RTS));
    bump(&page->modem_out_seq);
}

static void pause_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    struct zsim_serial_page *page;
    va_list args;
    void *arg;

    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    if (!real)
        real = (ioctl_fn)next("ioctl");
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCSBRK:
    case TIOCCBRK:
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TERMIOS2_SETS:
    case TERMIOS2_SETSW:
    case TERMIOS2_SETSF:
        break;
    default:
        return real(fd, request, arg);
    }
    page = page_of(fd);
    if (!page)
        return real(fd, request, arg);
    switch (request) {
    case TIOCMGET:
        if (!arg) {
            errno = EFAULT;
            return -1;
        }
        *(int *)arg = (int)(load(&page->modem_in) | load(&page->modem_out));
        return 0;
    case TIOCMSET:
        set_modem(page, *(const int *)arg);
        return 0;
    case TIOCMBIS:
        set_modem(page, load(&page->modem_out) | (uint32_t) * (const int *)arg);
        return 0;
    case TIOCMBIC:
        set_modem(page, load(&page->modem_out) & ~(uint32_t) * (const int *)arg);
        return 0;
    case TIOCMIWAIT: {
        /* Until one of the lines asked for changes. */
        uint32_t mask = (uint32_t)(unsigned long)arg, before = load(&page->modem_in);
        while (((load(&page->modem_in) ^ before) & mask) == 0)
            pause_ms(5);
        return 0;
    }
    case TIOCSBRK:
    case TIOCCBRK:
        store(&page->break_on, request == TIOCSBRK);
        bump(&page->break_seq);
        return 0;
    default:
        /* TCSETS* and their termios2 forms: the framing goes to the page,
           the rest to the pty (which refuses any other framing than 8N). */
        if (arg) {
            unsigned char copy[64];
            size_t size = request == TCSETS || request == TCSETSW || request == TCSETSF ? sizeof(struct termios) : 44;
            memcpy(copy, arg, size);
            note_cflag(page, ((const struct termios *)arg)->c_cflag);
            ((struct termios *)copy)->c_cflag = pty_framing(((struct termios *)copy)->c_cflag);
            return real(fd, request, copy);
        }
        return real(fd, request, arg);
    }
}

int tcsetattr(int fd, int actions, const struct termios *t)
{
    static tcsetattr_fn real;
    struct zsim_serial_page *page;
    struct termios copy;

    if (!real)
        real = (tcsetattr_fn)next("tcsetattr");
    if (t && (page = page_of(fd)) != NULL) {
        note_cflag(page, t->c_cflag);
        copy = *t;
        copy.c_cflag = pty_framing(copy.c_cflag);
        return real(fd, actions, &copy);
    }
    return real(fd, actions, t);
}

int tcgetattr(int fd, struct termios *t)
{
    static tcgetattr_fn real;
    struct zsim_serial_page *page;
    int r;

    if (!real)
        real = (tcgetattr_fn)next("tcgetattr");
    r = real(fd, t);
    /* The framing as the program set it, not as the pty keeps it. */
    if (r == 0 && t && (page = page_of(fd)) != NULL && load(&page->cflag_seq) != 0)
        t->c_cflag = (t->c_cflag & ~(tcflag_t)KEPT_BY_PAGE) | ((tcflag_t)load(&page->cflag) & KEPT_BY_PAGE);
    return r;
}

int tcsendbreak(int fd, int duration)
{
    static tcsendbreak_fn real;
    struct zsim_serial_page *page;

    if (!real)
        real = (tcsendbreak_fn)next("tcsendbreak");
    page = page_of(fd);
    if (!page)
        return real(fd, duration);
    bump(&page->break_pulse_seq);
    pause_ms(250);
    return 0;
}

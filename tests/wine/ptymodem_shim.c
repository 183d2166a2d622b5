/* Modem lines for the pty cables of the Wine test run (ci-wine.sh).
 *
 * Wine's serial ports ask the kernel for modem lines (TIOCMGET, TIOCMSET,
 * TIOCMBIS, TIOCMBIC) and line counters (TIOCGICOUNT); a pty has neither, so
 * on a plain pty Wine refuses GetCommModemStatus, EscapeCommFunction and
 * WaitCommEvent. Preloaded into Wine, this library answers those requests for
 * the ptys of a cable as a null-modem cable would: each end's RTS is the other
 * end's CTS, its DTR the other end's DSR and RLSD. Counters stay zero.
 * The network port's tests preload it into ser2net the same way
 * (tests/support/Ser2net.h), whose far end is a file the test writes.
 *
 * The cable helper (ptycables.c) writes, in the folder named by
 * KALVARO_PTYMODEM_DIR, a file "peer-<n>" for each pty number n of a cable,
 * holding the number of the other end. The output lines an end has set live
 * in "lines-<n>" (the TIOCM_ bits as text), shared by every process. Requests
 * for any other descriptor go to the real ioctl untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

static ioctl_function real_ioctl(void) {
    static ioctl_function function;
    if (!function) function = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    return function;
}

/* The pty number of a pty slave descriptor, or -1. */
static int pty_number(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return -1;
    const unsigned int major_number = major(info.st_rdev);
    if (major_number < 136 || major_number > 143) return -1;
    return (int)((major_number - 136) * 256 + minor(info.st_rdev));
}

static int state_path(char* path, size_t size, const char* kind, int number) {
    const char* folder = getenv("KALVARO_PTYMODEM_DIR");
    if (!folder || !*folder) return -1;
    const int length = snprintf(path, size, "%s/%s-%d", folder, kind, number);
    return length > 0 && (size_t)length < size ? 0 : -1;
}

/* The number kept in a state file; fallback when there is none. */
static int read_number(const char* kind, int number, int fallback) {
    char path[4096];
    if (state_path(path, sizeof path, kind, number) != 0) return fallback;
    FILE* file = fopen(path, "re");
    if (!file) return fallback;
    int value = fallback;
    if (fscanf(file, "%d", &value) != 1) value = fallback;
    fclose(file);
    return value;
}

/* Changes this end's output lines under a lock, so that processes and
 * threads setting different lines at once lose none of them. */
static int change_lines(int number, int set, int clear) {
    char path[4096];
    if (state_path(path, sizeof path, "lines", number) != 0) return -1;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    flock(fd, LOCK_EX);
    char text[32] = {0};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    int lines = got > 0 ? atoi(text) : 0;
    lines = (lines & ~clear) | set;
    lines &= TIOCM_RTS | TIOCM_DTR;
    const int length = snprintf(text, sizeof text, "%d\n", lines);
    const int ok = ftruncate(fd, 0) == 0 && pwrite(fd, text, (size_t)length, 0) == length;
    flock(fd, LOCK_UN);
    close(fd);
    return ok ? 0 : -1;
}

static int modem_status(int number, int peer) {
    const int own = read_number("lines", number, 0) & (TIOCM_RTS | TIOCM_DTR);
    const int far = read_number("lines", peer, 0);
    int status = own;
    if (far & TIOCM_RTS) status |= TIOCM_CTS;
    if (far & TIOCM_DTR) status |= TIOCM_DSR | TIOCM_CAR;
    return status;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
        request == TIOCGICOUNT) {
        const int number = pty_number(fd);
        const int peer = number >= 0 ? read_number("peer", number, -1) : -1;
        if (peer >= 0) {
            if (!argument) {
                errno = EFAULT;
                return -1;
            }
            switch (request) {
                case TIOCMGET: *(int*)argument = modem_status(number, peer); return 0;
                case TIOCMSET: return change_lines(number, *(int*)argument, ~0);
                case TIOCMBIS: return change_lines(number, *(int*)argument, 0);
                case TIOCMBIC: return change_lines(number, 0, *(int*)argument);
                default: memset(argument, 0, sizeof(struct serial_icounter_struct)); return 0;
            }
        }
    }
    return real_ioctl()(fd, request, argument);
}

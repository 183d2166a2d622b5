/* Only the kernel's terminal headers here: see PosixTermios2.h. */
#include "platform/PosixTermios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <string.h>
#include <sys/ioctl.h>

_Static_assert(NCCS == AFP_LINE_NCCS, "the kernel's termios2 has another number of control characters");

int afp_line_get(int fd, struct afp_line_settings *settings) {
    struct termios2 kernel;
    if (ioctl(fd, TCGETS2, &kernel) != 0) return -1;
    settings->iflag = kernel.c_iflag;
    settings->oflag = kernel.c_oflag;
    settings->cflag = kernel.c_cflag;
    settings->lflag = kernel.c_lflag;
    settings->line = kernel.c_line;
    memcpy(settings->cc, kernel.c_cc, sizeof settings->cc);
    settings->ispeed = kernel.c_ispeed;
    settings->ospeed = kernel.c_ospeed;
    return 0;
}

int afp_line_set(int fd, const struct afp_line_settings *settings) {
    struct termios2 kernel;
    kernel.c_iflag = settings->iflag;
    kernel.c_oflag = settings->oflag;
    /* BOTHER in both speed fields makes the driver take c_ospeed/c_ispeed as
     * plain numbers instead of looking the CBAUD bits up in its table. */
    kernel.c_cflag = (settings->cflag & ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
    kernel.c_lflag = settings->lflag;
    kernel.c_line = settings->line;
    memcpy(kernel.c_cc, settings->cc, sizeof kernel.c_cc);
    kernel.c_ispeed = settings->ispeed;
    kernel.c_ospeed = settings->ospeed;
    return ioctl(fd, TCSETS2, &kernel) == 0 ? 0 : -1;
}

/* Only the kernel's terminal headers here: see PosixTermios2.h. */
#include "platform/PosixTermios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

int afp_termios2_set_speed(int fd, unsigned int baud) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
    /* BOTHER in both speed fields makes the driver take c_ospeed/c_ispeed as
     * plain numbers instead of looking the CBAUD bits up in its table. */
    settings.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ospeed = baud;
    settings.c_ispeed = baud;
    return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : -1;
}

int afp_termios2_get_speed(int fd, unsigned int *baud) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
    *baud = settings.c_ospeed;
    return 0;
}

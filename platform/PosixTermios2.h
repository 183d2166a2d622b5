#pragma once
/* A line's settings through the kernel's termios2 (TCGETS2/TCSETS2), with
 * speeds of any value (BOTHER). glibc's cfsetospeed() knows only the Bxxx
 * table, so 56000, 128000, 256000 or a user's 12345 need the kernel
 * interface; its header <asm/termbits.h> redefines struct termios and cannot
 * share a translation unit with <termios.h>, so it lives in a C file of its
 * own behind the plain struct below.
 *
 * The settings go to the kernel in one ioctl, never through glibc's
 * tcsetattr(): that one reports EINVAL when the kernel kept nothing of a
 * request that asked for other data bits or parity, which on a pty (always
 * CS8 without parity) refuses a framing that the line has no use for anyway.
 * What a driver kept is for the caller to read back and judge.
 *
 * Both functions return 0, or -1 with errno set by the failing ioctl.
 * Callable from any thread. */

#ifdef __cplusplus
extern "C" {
#endif

/* The kernel's control characters (c_cc of termios2); <termios.h>'s V*
 * indexes below this count mean the same. */
#define AFP_LINE_NCCS 19

/* The flag words hold <termios.h>'s bits, with values equal to the kernel's;
 * the speed bits of cflag are the kernel's business: speeds are ispeed and
 * ospeed, in bits per second. */
struct afp_line_settings {
    unsigned int iflag;
    unsigned int oflag;
    unsigned int cflag;
    unsigned int lflag;
    unsigned char line;
    unsigned char cc[AFP_LINE_NCCS];
    unsigned int ispeed;
    unsigned int ospeed;
};

/* The line's settings as its driver holds them now. */
int afp_line_get(int fd, struct afp_line_settings *settings);

/* Applies every field at once (as TCSANOW), the speeds as plain numbers. */
int afp_line_set(int fd, const struct afp_line_settings *settings);

#ifdef __cplusplus
}
#endif

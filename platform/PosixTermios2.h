#pragma once
/* Line speeds of any value, through the kernel's termios2 (TCGETS2/TCSETS2
 * with BOTHER). glibc's cfsetospeed() knows only the Bxxx table, so 56000,
 * 128000, 256000 or a user's 12345 need the kernel interface; its header
 * <asm/termbits.h> redefines struct termios and cannot share a translation
 * unit with <termios.h>, so it lives in a C file of its own behind two plain
 * functions.
 *
 * Both return 0, or -1 with errno set by the failing ioctl. Callable from any
 * thread; each is one read-modify-write of the line's settings. */

#ifdef __cplusplus
extern "C" {
#endif

/* Sets input and output speed of fd's line to baud bits per second and leaves
 * every other setting as it is. */
int afp_termios2_set_speed(int fd, unsigned int baud);

/* The output speed the line's driver reports now. */
int afp_termios2_get_speed(int fd, unsigned int *baud);

#ifdef __cplusplus
}
#endif

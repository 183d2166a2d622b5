/* Null-modem cables made of ptys, for the Wine test run (ci-wine.sh).
 *
 *   ptycables <cables> <list file> <modem folder>
 *
 * Opens two pty pairs per cable and copies bytes between their masters, so
 * the two slaves are the two ends of one cable: Wine maps them to COM ports,
 * and a Windows test drives one end as the device under test and the other as
 * its far end. Each direction holds at most 4 KiB in flight: an end that does
 * not read holds the other end's output, as a real line's flow would.
 *
 * The helper keeps every slave open itself (without reading), so a cable
 * survives the test closing and reopening its ports. It writes one line per
 * cable to the list file, "<slave A> <slave B>", and the files the modem-line
 * shim reads (ptymodem_shim.c) to the modem folder, then serves the cables
 * until its standard input closes or it is told to stop (SIGTERM, SIGINT).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#define MAX_CABLES 8
#define FLIGHT 4096

struct end {
    int master;
    int slave;
    int number; /* the pty's number: /dev/pts/<number> */
    char path[64];
};

/* Bytes read from one end's master, not yet written to the other's. */
struct direction {
    struct end* from;
    struct end* to;
    unsigned char bytes[FLIGHT];
    size_t start;
    size_t count;
};

static volatile sig_atomic_t stopping;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

static int open_end(struct end* end) {
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    if (openpty(&end->master, &end->slave, end->path, &raw, NULL) != 0) return -1;
    fcntl(end->master, F_SETFL, fcntl(end->master, F_GETFL) | O_NONBLOCK);
    fcntl(end->master, F_SETFD, FD_CLOEXEC);
    fcntl(end->slave, F_SETFD, FD_CLOEXEC);
    const char* digits = strrchr(end->path, '/');
    end->number = digits ? atoi(digits + 1) : -1;
    return end->number >= 0 ? 0 : -1;
}

static int write_number(const char* folder, const char* kind, int number, int value) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s-%d", folder, kind, number);
    FILE* file = fopen(path, "we");
    if (!file) return -1;
    fprintf(file, "%d\n", value);
    return fclose(file);
}

/* Moves what it can; returns -1 when an end failed for good. */
static int pump(struct direction* d, short from_events, short to_events) {
    if ((from_events & POLLIN) && d->count < FLIGHT) {
        const size_t end = (d->start + d->count) % FLIGHT;
        const size_t room = end >= d->start ? FLIGHT - end : d->start - end;
        const ssize_t got = read(d->from->master, d->bytes + end, room);
        if (got > 0)
            d->count += (size_t)got;
        else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
            return -1;
    }
    if ((to_events & POLLOUT) && d->count > 0) {
        const size_t run = d->start + d->count > FLIGHT ? FLIGHT - d->start : d->count;
        const ssize_t put = write(d->to->master, d->bytes + d->start, run);
        if (put > 0) {
            d->start = (d->start + (size_t)put) % FLIGHT;
            d->count -= (size_t)put;
        } else if (put < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <cables> <list file> <modem folder>\n", argv[0]);
        return 2;
    }
    const int cables = atoi(argv[1]);
    if (cables < 1 || cables > MAX_CABLES) {
        fprintf(stderr, "ptycables: 1 to %d cables\n", MAX_CABLES);
        return 2;
    }
    static struct end ends[2 * MAX_CABLES];
    static struct direction directions[2 * MAX_CABLES];
    FILE* list = fopen(argv[2], "we");
    if (!list) {
        perror("ptycables: list file");
        return 1;
    }
    for (int c = 0; c < cables; ++c) {
        struct end* a = &ends[2 * c];
        struct end* b = &ends[2 * c + 1];
        if (open_end(a) != 0 || open_end(b) != 0) {
            perror("ptycables: openpty");
            return 1;
        }
        if (write_number(argv[3], "peer", a->number, b->number) != 0 ||
            write_number(argv[3], "peer", b->number, a->number) != 0 ||
            write_number(argv[3], "lines", a->number, 0) != 0 || write_number(argv[3], "lines", b->number, 0) != 0) {
            perror("ptycables: modem folder");
            return 1;
        }
        directions[2 * c] = (struct direction){.from = a, .to = b};
        directions[2 * c + 1] = (struct direction){.from = b, .to = a};
        fprintf(list, "%s %s\n", a->path, b->path);
    }
    if (fclose(list) != 0) {
        perror("ptycables: list file");
        return 1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    signal(SIGPIPE, SIG_IGN);

    const int count = 2 * cables;
    struct pollfd watched[2 * MAX_CABLES + 1];
    while (!stopping) {
        for (int i = 0; i < count; ++i) {
            /* End i is the source of direction i and the sink of its partner. */
            const struct direction* out = &directions[i];
            const struct direction* in = &directions[i ^ 1];
            watched[i].fd = ends[i].master;
            watched[i].events = (short)((out->count < FLIGHT ? POLLIN : 0) | (in->count > 0 ? POLLOUT : 0));
            watched[i].revents = 0;
        }
        watched[count].fd = STDIN_FILENO;
        watched[count].events = POLLIN;
        watched[count].revents = 0;
        if (poll(watched, (nfds_t)count + 1, -1) < 0) {
            if (errno == EINTR) continue;
            perror("ptycables: poll");
            return 1;
        }
        if (watched[count].revents) {
            char byte;
            if (read(STDIN_FILENO, &byte, 1) <= 0) break;
        }
        for (int i = 0; i < count; ++i) {
            struct direction* out = &directions[i];
            const short from = watched[i].revents;
            const short to = watched[i ^ 1].revents;
            if (pump(out, from, to) != 0) {
                perror("ptycables: copying");
                return 1;
            }
        }
    }
    return 0;
}

#include "bench/soak/SoakPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <vector>

namespace kalvaro::bench {

namespace {

// splitmix64: a counter-based generator, so any position of a stream can be
// computed on its own.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint8_t WithoutLineEnd(std::uint8_t byte) {
    return byte == 10 || byte == 13 ? static_cast<std::uint8_t>(byte | 0x80) : byte;
}

constexpr std::size_t WriteChunk = 4096;

// Closes every descriptor but the ones the child works with: the window's
// ports must not stay open in it.
void CloseOthers(int keep1, int keep2) {
    std::vector<int> inherited;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        inherited.push_back(std::atoi(entry.path().filename().c_str()));
    for (const int fd : inherited)
        if (fd > 2 && fd != keep1 && fd != keep2) ::close(fd);
}

}  // namespace

std::uint8_t StreamByte(unsigned seed, std::uint64_t position, bool noLineEnds) {
    const std::uint64_t word = Mix((static_cast<std::uint64_t>(seed) << 48) ^ (position / 8));
    const auto byte = static_cast<std::uint8_t>(word >> (8 * (position % 8)));
    return noLineEnds ? WithoutLineEnd(byte) : byte;
}

std::string StreamBytes(unsigned seed, std::uint64_t from, std::size_t count, bool noLineEnds) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(StreamByte(seed, from + i, noLineEnds));
    return bytes;
}

TSoakPeer::TSoakPeer(int masterFd, unsigned seed, bool noLineEnds, std::string expectedCycle) {
    void* memory = mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int sockets[2] = {-1, -1};
    if (memory == MAP_FAILED || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
        std::perror("soak peer");
        std::exit(2);
    }
    shared_ = new (memory) TShared;
    child_ = fork();
    if (child_ < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (child_ == 0) {
        ::close(sockets[0]);
        CloseOthers(masterFd, sockets[1]);
        Run(masterFd, sockets[1], seed, noLineEnds, expectedCycle, *shared_);
    }
    ::close(sockets[1]);
    control_ = sockets[0];
}

TSoakPeer::~TSoakPeer() {
    Stop();
    if (control_ >= 0) ::close(control_);
    shared_->~TShared();
    munmap(shared_, sizeof(TShared));
}

void TSoakPeer::Send(TCommand command) {
    if (child_ <= 0) return;
    while (::send(control_, &command, sizeof command, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

void TSoakPeer::Resume(std::uint64_t until) {
    // Cleared here, not by the child, so that a caller who resumes and then
    // waits for Paused() cannot see the old pause.
    shared_->Paused = false;
    Send({'r', until});
}

void TSoakPeer::Pause() { Send({'p', 0}); }

int TSoakPeer::Stop() {
    if (child_ > 0) {
        Send({'q', 0});
        int status = 0;
        while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        child_ = -1;
    }
    return status_;
}

void TSoakPeer::Run(int master, int control, unsigned seed, bool noLineEnds, const std::string& cycle,
                    TShared& shared) {
    bool writing = false;
    // Until the window opens the slave, the master only reports a hang-up:
    // reading starts with the first Resume.
    bool reading = false;
    bool hungUp = false;
    std::uint64_t until = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t mismatches = 0;
    int failure = 0;
    std::string pending;  // stream bytes from position `sent` on, not yet taken
    std::vector<unsigned char> buffer(65536);

    for (;;) {
        if (writing && until != 0 && sent >= until) {
            writing = false;
            shared.Paused = true;
        }
        const short wanted = static_cast<short>((writing ? POLLOUT : 0) | (reading ? POLLIN : 0));
        // A master whose slave is closed reports a hang-up whatever is asked:
        // a master with nothing to wait for is left out of the poll.
        pollfd fds[2] = {{control, POLLIN, 0}, {wanted ? master : -1, wanted, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        if (fds[0].revents) {
            TCommand command;
            const ssize_t got = ::recv(control, &command, sizeof command, 0);
            if (got <= 0 || command.Op == 'q') break;  // no parent any more, or asked to end
            if (command.Op == 'r') {
                reading = !cycle.empty() && !hungUp;
                writing = true;
                until = command.Until;
            } else if (command.Op == 'p') {
                writing = false;
                shared.Paused = true;
            }
        }
        if (reading && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t got = ::read(master, buffer.data(), buffer.size());
            if (got > 0) {
                for (ssize_t i = 0; i < got; ++i)
                    if (buffer[static_cast<std::size_t>(i)] !=
                        static_cast<unsigned char>(cycle[(received + static_cast<std::uint64_t>(i)) % cycle.size()]))
                        ++mismatches;
                received += static_cast<std::uint64_t>(got);
                shared.Received = received;
                shared.Mismatches = mismatches;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The window has closed its end: nothing more will come.
                reading = false;
                hungUp = true;
            }
        }
        if (writing && (fds[1].revents & POLLOUT)) {
            // Bytes made before a limit was set may reach past it.
            if (until != 0 && pending.size() > until - sent) pending.resize(static_cast<std::size_t>(until - sent));
            if (pending.empty()) {
                std::size_t count = WriteChunk;
                if (until != 0) count = static_cast<std::size_t>(std::min<std::uint64_t>(count, until - sent));
                pending = StreamBytes(seed, sent, count, noLineEnds);
            }
            const ssize_t put = ::write(master, pending.data(), pending.size());
            if (put > 0) {
                pending.erase(0, static_cast<std::size_t>(put));
                sent += static_cast<std::uint64_t>(put);
                shared.Sent = sent;
            } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                failure = errno;
                break;
            }
        }
    }
    shared.Error = failure;
    _exit(failure == 0 ? 0 : 1);
}

}  // namespace kalvaro::bench

#include "tests/support/HeldTty.h"

#include "platform/UucpLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

// Last: the kernel's terminal header defines short macro names (B0, ECHO, …).
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kalvaro::test {

THeldTty::THeldTty(const std::string& path, TClaim claim, bool asTerminal) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(release, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    child_ = ::fork();
    if (child_ < 0) throw std::runtime_error("fork failed");
    if (child_ == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        bool ok = fd >= 0;
        if (ok && asTerminal) {
            termios2 line{};
            ok = ::ioctl(fd, TCGETS2, &line) == 0;
            line.c_iflag |= ICRNL | IXON;
            line.c_oflag |= OPOST | ONLCR;
            line.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | ISIG | IEXTEN;
            ok = ok && ::ioctl(fd, TCSETS2, &line) == 0;
        }
        if (ok && claim == TClaim::Flock) ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (ok && claim == TClaim::Exclusive) ok = ::ioctl(fd, TIOCEXCL) == 0;
        const char answer = ok ? 'y' : 'n';
        [[maybe_unused]] ssize_t ignored = ::write(ready[1], &answer, 1);
        ::close(release[1]);
        char done = 0;
        ignored = ::read(release[0], &done, 1);
        // A pty slave's tty, and its exclusive flag, outlive this process.
        if (claim == TClaim::Exclusive) ::ioctl(fd, TIOCNXCL);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char answer = 0;
    const bool answered = ::read(ready[0], &answer, 1) == 1;
    ::close(ready[0]);
    if (!answered || answer != 'y') {
        Release();
        throw std::runtime_error("the holding process could not take " + path);
    }
}

void THeldTty::Release() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
    child_ = -1;
}

TTtySettings SettingsOf(int fd) {
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0) throw std::runtime_error("TCGETS2 failed");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&line);
    const tcflag_t terminal = ICANON | ECHO;
    return {{bytes, bytes + sizeof line}, (line.c_lflag & terminal) == terminal};
}

pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::filesystem::path LockFileOf(const std::string& device) {
    return std::filesystem::path(afp::LockFolders().at(0)) /
           ("LCK.." + std::filesystem::canonical(device).filename().string());
}

void WriteLockFile(const std::string& device, pid_t pid, bool binary) {
    std::ofstream file(LockFileOf(device), std::ios::binary | std::ios::trunc);
    if (binary) {
        const int value = pid;
        file.write(reinterpret_cast<const char*>(&value), sizeof value);
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
        file << text;
    }
    if (!file.flush()) throw std::runtime_error("cannot write " + LockFileOf(device).string());
}

}  // namespace kalvaro::test

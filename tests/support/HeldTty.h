#pragma once
// What other programs do to a tty while Kalvaro looks at it: hold it open
// (as a terminal a shell or minicom uses, with or without a claim) from a
// process of their own, and leave UUCP lock files naming a process.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kalvaro::test {

// A child process that opens a tty and keeps it until this goes. Throws
// std::runtime_error when the child could not do what it was asked.
class THeldTty {
public:
    enum class TClaim { None, Flock, Exclusive };  // flock(LOCK_EX) or TIOCEXCL
    THeldTty(const std::string& path, TClaim claim, bool asTerminal = false);
    ~THeldTty() { Release(); }
    THeldTty(const THeldTty&) = delete;
    THeldTty& operator=(const THeldTty&) = delete;

    pid_t Pid() const { return child_; }

private:
    void Release();

    pid_t child_ = -1;
    int release_ = -1;  // the child leaves once this closes
};

// The settings the kernel holds for a tty (its termios2), as raw bytes for a
// comparison bit for bit; and whether the line discipline is canonical and
// echoes.
struct TTtySettings {
    std::vector<unsigned char> Bytes;
    bool CanonicalWithEcho = false;
};
TTtySettings SettingsOf(int fd);

// The PID of a process that has ended.
pid_t DeadPid();

// The lock file that names the holder of device in the tests' lock folder.
std::filesystem::path LockFileOf(const std::string& device);
// Writes it, naming pid in the HDB form (ten characters and a newline) or
// as the four bytes of a binary int.
void WriteLockFile(const std::string& device, pid_t pid, bool binary = false);

}  // namespace kalvaro::test

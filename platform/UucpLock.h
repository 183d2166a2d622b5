#pragma once
// UUCP lock files: how Linux serial programs (minicom, cu, lockdev users) tell
// each other that a device is in use. A file "LCK..<name>" in a lock folder
// (/var/lock, also looked for in /run/lock) names the process that holds the
// device; <name> is the last part of the device node's path, links followed
// (/dev/serial/by-id/usb-FTDI… → ttyUSB0 → "LCK..ttyUSB0").
//
// Written in the HDB form: the PID as ten characters right-aligned and a
// newline. Read leniently: any decimal number among blanks, or the four bytes
// of a binary int (the older form). A file that names no process, or one
// that no longer exists, is stale: it holds nothing and is taken over.
//
// A lock file is written where a lock folder may be written (on Debian
// /run/lock is open to everyone); where none may, nothing is written and the
// device's other claims (flock, TIOCEXCL) must do. The file appears whole or
// not at all (written beside it, then linked into place).
//
// POSIX only. Callable from any thread; the folders are guarded by a lock of
// their own.

#include <string>
#include <vector>

namespace afp {

// The folders lock files are looked for in; ours go into the first that may
// be written. By default /var/lock and /run/lock; tests point this at a
// folder of their own so that they never touch the machine's.
void SetLockFolders(std::vector<std::string> folders);
std::vector<std::string> LockFolders();

// Whether a lock file of a live process (this one included) names device.
bool LockFileHeld(const std::string& device);

// This process's lock file for one device, removed when this goes.
class TLockFile {
public:
    TLockFile() = default;
    ~TLockFile() { Release(); }
    TLockFile(TLockFile&& other) noexcept;
    TLockFile& operator=(TLockFile&& other) noexcept;
    TLockFile(const TLockFile&) = delete;
    TLockFile& operator=(const TLockFile&) = delete;

    // False when a live process holds device's lock file. Otherwise true,
    // with the file written when a lock folder may be written; a stale file
    // is taken over.
    bool Take(const std::string& device);
    // Removes the file, if it still names this process.
    void Release();
    // The file held, or empty.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace afp

#include "platform/UucpLock.h"

#include "platform/Trace.h"

#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill() is POSIX, <csignal> need not declare it
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <utility>

namespace afp {

namespace {

std::mutex foldersLock;
std::vector<std::string> folders{"/var/lock", "/run/lock"};  // guarded by foldersLock

// Two rounds of clearing stale files and writing ours lose only to another
// program doing the same at the same moment; a third would lose to it again.
constexpr int TakeRounds = 3;

std::string LockName(const std::string& device) {
    std::error_code error;
    const std::filesystem::path node = std::filesystem::canonical(device, error);
    return "LCK.." + (error ? std::filesystem::path(device) : node).filename().string();
}

// The PID a lock file's content names, or 0.
pid_t PidIn(const std::string& content) {
    const bool text = std::all_of(content.begin(), content.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || std::isspace(static_cast<unsigned char>(c));
    });
    if (!text) {
        int binary = 0;
        if (content.size() != sizeof binary) return 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    const std::size_t first = content.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return 0;
    const std::size_t end = content.find_first_of(" \t\r\n", first);
    if (end != std::string::npos && content.find_first_not_of(" \t\r\n", end) != std::string::npos) return 0;
    const std::string digits = content.substr(first, end - first);
    if (digits.size() > 10) return 0;
    const long long pid = std::stoll(digits);
    return pid > 0 && pid <= 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

enum class THolder { None, Stale, Live };

// A lock file holds at most a line; anything longer names nobody. One this
// process may not read may well name a live process: it counts as held.
THolder HolderOf(const std::string& path, pid_t* pid = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? THolder::None : THolder::Live;
    char buffer[64];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    const pid_t holder = got > 0 ? PidIn(std::string(buffer, static_cast<std::size_t>(got))) : 0;
    if (pid) *pid = holder;
    // EPERM: the process exists but belongs to another user.
    const bool alive = holder > 0 && (::kill(holder, 0) == 0 || errno == EPERM);
    return alive ? THolder::Live : THolder::Stale;
}

enum class TCreated { Yes, Exists, Cannot };

TCreated Create(const std::string& folder, const std::string& name) {
    std::string temporary = folder + "/LTMP.XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return TCreated::Cannot;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    TCreated result = TCreated::Cannot;
    if (written) {
        if (::link(temporary.c_str(), (folder + "/" + name).c_str()) == 0)
            result = TCreated::Yes;
        else if (errno == EEXIST)
            result = TCreated::Exists;
    }
    ::unlink(temporary.c_str());
    return result;
}

}  // namespace

void SetLockFolders(std::vector<std::string> value) {
    std::lock_guard guard(foldersLock);
    folders = std::move(value);
}

std::vector<std::string> LockFolders() {
    std::lock_guard guard(foldersLock);
    return folders;
}

bool LockFileHeld(const std::string& device) {
    const std::string name = LockName(device);
    for (const std::string& folder : LockFolders())
        if (HolderOf(folder + "/" + name) == THolder::Live) return true;
    return false;
}

TLockFile::TLockFile(TLockFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TLockFile& TLockFile::operator=(TLockFile&& other) noexcept {
    if (this != &other) {
        Release();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

bool TLockFile::Take(const std::string& device) {
    Release();
    const std::string name = LockName(device);
    const std::vector<std::string> places = LockFolders();
    for (int round = 0; round < TakeRounds; ++round) {
        for (const std::string& folder : places) {
            const std::string path = folder + "/" + name;
            pid_t pid = 0;
            const THolder holder = HolderOf(path, &pid);
            if (holder == THolder::Live) {
                if (pid > 0)
                    Trace(TTraceArea::Platform, "lock file ", path, " of live process ", pid, " holds ", device);
                else
                    Trace(TTraceArea::Platform, "lock file ", path, " cannot be read: it counts as holding ", device);
                return false;
            }
            if (holder == THolder::Stale) {
                if (pid > 0)
                    Trace(TTraceArea::Platform, "lock file ", path, " of process ", pid, " that is gone: taken over");
                else
                    Trace(TTraceArea::Platform, "lock file ", path, " names no process: taken over");
                ::unlink(path.c_str());
            }
        }
        bool contested = false;
        for (const std::string& folder : places) {
            const TCreated created = Create(folder, name);
            if (created == TCreated::Yes) {
                path_ = folder + "/" + name;
                Trace(TTraceArea::Platform, "lock file ", path_, " written for ", device);
                return true;
            }
            if (created == TCreated::Exists) {
                contested = true;
                break;
            }
        }
        if (!contested) {
            Trace(TTraceArea::Platform, "no lock folder may be written: no lock file for ", device);
            return true;
        }
    }
    Trace(TTraceArea::Platform, "lock file ", name, " for ", device, " contested by another program ", TakeRounds,
          " times");
    return false;
}

void TLockFile::Release() {
    if (path_.empty()) return;
    pid_t holder = 0;
    // Someone may have removed ours and written their own meanwhile.
    if (HolderOf(path_, &holder) != THolder::None && holder == ::getpid()) {
        ::unlink(path_.c_str());
        Trace(TTraceArea::Platform, "lock file ", path_, " removed");
    } else {
        Trace(TTraceArea::Platform, "lock file ", path_, " no longer ours: left alone");
    }
    path_.clear();
}

}  // namespace afp

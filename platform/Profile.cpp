#include "platform/Profile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill() is POSIX, <csignal> need not declare it
#include <sys/stat.h>
#include <unistd.h>

namespace afp {

namespace {

// ---- files -----------------------------------------------------------------

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now, reporting what close() says (a delayed write error shows
    // up here on some file systems).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Reads a regular file whole. Returns 0, or the errno of the failure
// (ENOENT for a missing file). Not-regular files (a folder, a FIFO that would
// block) count as unreadable.
int ReadWhole(const std::string& path, std::string& text, struct stat& info) {
    text.clear();
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0) return errno;
    if (::fstat(fd.Get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// mkdir -p; true when the whole path is a folder afterwards.
bool MakeFolders(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    if (::stat(folder.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A write's temporary file: "." + the file's name + TemporaryMark + the
// writer's process id + "-" + a unique part. The leading dot hides it, and
// the process id tells a later start whether its writer is still alive.
constexpr std::string_view TemporaryMark = ".tmp-";

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
           std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ULL);
}

// Writes text to a fresh file in target's folder and renames it over target.
// oldMode: the permissions to keep, or -1 for a new file.
bool ReplaceFile(const std::string& target, std::string_view text, int oldMode) {
    const std::string folder = FolderOf(target);
    if (!MakeFolders(folder)) return false;

    const std::string base = target.substr(target.rfind('/') + 1);
    std::string temporary;
    TFd fd;
    // O_EXCL: never write into a file someone else created under our name.
    for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
        temporary = folder + "/." + base + std::string(TemporaryMark) + UniqueSuffix();
        fd.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.Get() < 0 && errno != EEXIST) return false;
    }
    if (fd.Get() < 0) return false;

    auto fail = [&temporary] {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    };
    if (oldMode >= 0 && ::fchmod(fd.Get(), static_cast<mode_t>(oldMode)) != 0) return fail();
    if (!WriteAll(fd.Get(), text)) return fail();
    if (::fsync(fd.Get()) != 0) return fail();
    if (!fd.Close()) return fail();
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail();

    // The rename is done and the new file complete; making the folder entry
    // durable is best effort: the call has succeeded either way.
    TFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0) ::fsync(directory.Get());
    return true;
}

// The file a write replaces: the target of a symbolic link, so the link
// itself survives.
std::string WriteTarget(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

}  // namespace

// ---- public ------------------------------------------------------------------

namespace {
std::mutex chosenFolderLock;
std::string chosenFolder;  // guarded by chosenFolderLock; empty: the default
}  // namespace

void SetConfigFolder(const std::string& folder) {
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::lock_guard guard(chosenFolderLock);
    chosenFolder = std::move(trimmed);
}

std::string ConfigFolder() {
    {
        std::lock_guard guard(chosenFolderLock);
        if (!chosenFolder.empty()) return chosenFolder;
    }
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kalvaro";
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && variable[0] == '/') {
        home = variable;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home == "/") home.clear();
    return home + "/.config/kalvaro";
}

std::string ProfilePath(const std::string& fileName) {
    if (fileName.find('/') != std::string::npos) return fileName;
    return ConfigFolder() + "/" + fileName;
}

std::string ProfileText(const std::string& fileName) {
    std::string text;
    struct stat info {};
    if (ReadWhole(ProfilePath(fileName), text, info) != 0) text.clear();
    return text;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName) {
    return ProfileLookup(ProfileText(fileName), section, key).value_or(defaultValue);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
    return WritePrivateProfileStrings({{section, key, value}}, fileName);
}

bool WritePrivateProfileStrings(const std::vector<TProfileEntry>& entries, const std::string& fileName) {
    const std::string target = WriteTarget(ProfilePath(fileName));
    std::string text;
    struct stat info {};
    const int readError = ReadWhole(target, text, info);
    if (readError != 0 && readError != ENOENT) {
        errno = readError;
        return false;
    }
    const bool exists = readError == 0;
    std::string replaced = text;
    for (const TProfileEntry& entry : entries)
        replaced = ProfileReplace(replaced, entry.Section, entry.Key, entry.Value);
    if (exists && replaced == text) return true;
    return ReplaceFile(target, replaced, exists ? static_cast<int>(info.st_mode & 07777) : -1);
}

void RemoveStaleProfileTemporaries(const std::string& fileName) {
    const std::string target = WriteTarget(ProfilePath(fileName));
    const std::string folder = FolderOf(target);
    const std::string prefix = "." + target.substr(target.rfind('/') + 1) + std::string(TemporaryMark);
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    const auto close = [](DIR* open) { ::closedir(open); };
    const std::unique_ptr<DIR, decltype(close)> owner(listing, close);
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        const std::string path = folder + "/" + std::string(name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        // A pid reused since keeps a file for a while; the age ends that.
        const long long writer = std::atoll(std::string(name.substr(prefix.size())).c_str());
        const bool writerGone = writer > 0 && ::kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH;
        const bool untouched = now - info.st_mtime > std::time_t{60} * 60;
        if (writerGone || untouched) ::unlink(path.c_str());
    }
}

}  // namespace afp
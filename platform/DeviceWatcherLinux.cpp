// The device watcher on Linux: libudev's monitor, inotify on the folders
// where serial device nodes and links appear, and an eventfd, all slept on
// by one poll() (DeviceWatcher.h).
#include "platform/DeviceWatcher.h"

#include "platform/Profile.h"
#include "platform/Trace.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace afp {

namespace {

namespace fs = std::filesystem;

// What appears, goes or is renamed in a folder, and the folder itself going.
constexpr std::uint32_t FolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// udev events taken in one go; more wait for the next poll.
constexpr int MostUdevEventsAtOnce = 64;

// Which names in a watched folder matter.
struct TInterest {
    bool AllNames = false;
    bool TtyNames = false;  // tty*
    std::set<std::string, std::less<>> Names;

    bool Matches(std::string_view name) const {
        return AllNames || (TtyNames && name.starts_with("tty")) || Names.contains(name);
    }
    void Merge(const TInterest& other) {
        AllNames = AllNames || other.AllNames;
        TtyNames = TtyNames || other.TtyNames;
        Names.insert(other.Names.begin(), other.Names.end());
    }
};

struct TFolderWatch {
    fs::path Folder;
    TInterest Interest;
};

class TLinuxDeviceWatcher;
std::mutex registryLock;
std::vector<TLinuxDeviceWatcher*> registry;  // guarded by registryLock: the watchers NotifyDevicesChanged wakes

class TLinuxDeviceWatcher final : public TDeviceWatcher {
public:
    TLinuxDeviceWatcher(std::function<void()> changed, TPortMapSources sources)
        : changed_(std::move(changed)), sources_(std::move(sources)) {}

    ~TLinuxDeviceWatcher() override {
        {
            std::lock_guard guard(registryLock);
            registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
        }
        if (thread_.joinable()) {
            stopping_ = true;
            Wake();
            thread_.join();
        }
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        for (int fd : {inotify_, wake_})
            if (fd >= 0) ::close(fd);
    }

    // Opens what it sleeps on and starts its thread; false when it cannot
    // be woken (the reason is traced). Raises std::system_error when no
    // thread can be started.
    bool Start() {
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            Trace(TTraceArea::Platform, "device watcher: eventfd() failed, ", TErrno{errno});
            return false;
        }
        inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (inotify_ < 0) Trace(TTraceArea::Platform, "device watcher: inotify_init1() failed, ", TErrno{errno});
        udev_ = udev_new();
        if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
                         udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
        Trace(TTraceArea::Platform, "device watcher: udev monitor ", monitor_ ? "on" : "not available");
        Rewatch();
        thread_ = std::thread([this] { Run(); });
        std::lock_guard guard(registryLock);
        registry.push_back(this);
        return true;
    }

    void Wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    }

private:
    void Run() {
        pollfd fds[3] = {
            {wake_, POLLIN, 0}, {inotify_, POLLIN, 0}, {monitor_ ? udev_monitor_get_fd(monitor_) : -1, POLLIN, 0}};
        while (!stopping_) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                Trace(TTraceArea::Platform, "device watcher: poll() failed, ", TErrno{errno}, "; no more changes");
                return;
            }
            bool changed = false;
            if (fds[0].revents) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t taken = ::read(wake_, &count, sizeof count);
                changed = !stopping_;
            }
            if (fds[1].revents & POLLIN) changed = TakeFolderEvents() || changed;
            if (fds[2].revents & POLLIN) changed = TakeUdevEvents() || changed;
            // A descriptor in error would wake poll() at once, forever.
            for (pollfd* fd : {&fds[1], &fds[2]}) {
                if (fd->revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    Trace(TTraceArea::Platform, "device watcher: descriptor ", fd->fd, " failed, no longer watched");
                    fd->fd = -1;
                }
            }
            if (!changed || stopping_) continue;
            Rewatch();
            changed_();
        }
    }

    // The folders to watch now, with the names that matter in each.
    std::map<fs::path, TInterest> WantedFolders() const {
        std::map<fs::path, TInterest> wanted;
        const fs::path dev = sources_.DevDir;
        wanted[dev].TtyNames = true;
        wanted[dev].Names.insert("serial");
        wanted[dev / "serial"].Names.insert("by-id");
        wanted[dev / "serial" / "by-id"].AllNames = true;
        for (const auto& [number, device] : TPortMap::ParsePortsSection(ProfileText(sources_.SettingsFile)).Named) {
            if (device.empty() || device.front() != '/') continue;  // virtual
            fs::path folder = fs::path(device).lexically_normal();
            std::string name = folder.filename().string();
            folder = folder.parent_path();
            // Until the folder is there, its parent sees it come.
            std::error_code error;
            while (!fs::is_directory(folder, error) && folder.has_relative_path()) {
                name = folder.filename().string();
                folder = folder.parent_path();
            }
            wanted[folder].Names.insert(name);
        }
        return wanted;
    }

    // Watcher thread (and Start, before the thread runs): folders_ is its own.
    void Rewatch() {
        if (inotify_ < 0) return;
        std::map<int, TFolderWatch> watches;
        std::string watched;
        for (const auto& [folder, interest] : WantedFolders()) {
            const int wd = ::inotify_add_watch(inotify_, folder.c_str(), FolderEvents);
            if (wd < 0) continue;  // not there (yet): a parent's watch sees it come
            watches[wd].Folder = folder;
            watches[wd].Interest.Merge(interest);  // two paths, one folder
            watched += " " + folder.string();
        }
        for (const auto& [wd, watch] : folders_)
            if (!watches.contains(wd)) ::inotify_rm_watch(inotify_, wd);
        if (TraceOn(TTraceArea::Platform) && watched != watched_)
            Trace(TTraceArea::Platform, "device watcher: watching", watched);
        watched_ = std::move(watched);
        folders_ = std::move(watches);
    }

    // True when an event concerns a name that matters, or a watch ended.
    bool TakeFolderEvents() {
        alignas(inotify_event) char buffer[4096];
        bool relevant = false;
        for (;;) {
            const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
            if (length <= 0) break;  // EAGAIN: all taken
            for (const char* at = buffer; at < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                at += sizeof(inotify_event) + event->len;
                if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                    relevant = true;
                    continue;
                }
                const auto watch = folders_.find(event->wd);
                if (watch == folders_.end() || event->len == 0) continue;
                if (watch->second.Interest.Matches(event->name)) {
                    Trace(TTraceArea::Platform, "device watcher: ", (watch->second.Folder / event->name).string(),
                          event->mask & (IN_CREATE | IN_MOVED_TO) ? " appeared" : " went");
                    relevant = true;
                }
            }
        }
        return relevant;
    }

    bool TakeUdevEvents() {
        bool any = false;
        for (int taken = 0; taken < MostUdevEventsAtOnce; ++taken) {
            udev_device* device = udev_monitor_receive_device(monitor_);
            if (!device) break;
            const char* action = udev_device_get_action(device);
            const char* name = udev_device_get_sysname(device);
            Trace(TTraceArea::Platform, "device watcher: udev ", action ? action : "?", " ", name ? name : "?");
            udev_device_unref(device);
            any = true;
        }
        return any;
    }

    const std::function<void()> changed_;
    const TPortMapSources sources_;
    int wake_ = -1;
    int inotify_ = -1;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::map<int, TFolderWatch> folders_;  // by watch descriptor; the watcher thread's
    std::string watched_;                  // the watcher thread's: the folders last traced
    std::thread thread_;
};

}  // namespace

std::unique_ptr<TDeviceWatcher> StartDeviceWatcher(std::function<void()> changed, const TPortMapSources& sources) {
    auto watcher = std::make_unique<TLinuxDeviceWatcher>(std::move(changed), sources);
    try {
        if (!watcher->Start()) return nullptr;
    } catch (const std::system_error& error) {
        Trace(TTraceArea::Platform, "device watcher: no thread, ", error.what());
        return nullptr;
    }
    return watcher;
}

void NotifyDevicesChanged() {
    std::lock_guard guard(registryLock);
    for (TLinuxDeviceWatcher* watcher : registry) watcher->Wake();
}

}  // namespace afp

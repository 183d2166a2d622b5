// The device watcher on Windows: the system's port list (SERIALCOMM, as the
// port map reads it) compared once a second, and a wake-up event for the
// stop and for virtual plugging (DeviceWatcher.h).
#include "platform/DeviceWatcher.h"

#include "platform/KernelObjects.h"
#include "platform/Trace.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace afp {

namespace {

constexpr DWORD ListReadEveryMs = 1000;

std::vector<std::pair<int, std::string>> SystemPorts() {
    std::vector<std::pair<int, std::string>> ports;
    for (const TPortEntry& entry : TPortMap::LoadDefault().Entries()) ports.emplace_back(entry.Number, entry.Device);
    return ports;
}

class TWin32DeviceWatcher;
std::mutex registryLock;
std::vector<TWin32DeviceWatcher*> registry;  // guarded by registryLock: the watchers NotifyDevicesChanged wakes

class TWin32DeviceWatcher final : public TDeviceWatcher {
public:
    explicit TWin32DeviceWatcher(std::function<void()> changed) : changed_(std::move(changed)) {}

    ~TWin32DeviceWatcher() override {
        {
            std::lock_guard guard(registryLock);
            registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
        }
        if (thread_.joinable()) {
            stopping_ = true;
            wake_.Set();
            thread_.join();
        }
    }

    // Raises std::system_error when no thread can be started.
    void Start() {
        thread_ = std::thread([this] { Run(); });
        std::lock_guard guard(registryLock);
        registry.push_back(this);
    }

    void Wake() { wake_.Set(); }

private:
    void Run() {
        auto last = SystemPorts();
        while (!stopping_) {
            const bool woken = WaitForEvent(wake_, ListReadEveryMs);
            if (stopping_) break;
            auto now = SystemPorts();
            if (!woken && now == last) continue;
            last = std::move(now);
            changed_();
        }
    }

    const std::function<void()> changed_;
    TKernelEvent wake_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<TDeviceWatcher> StartDeviceWatcher(std::function<void()> changed, const TPortMapSources&) {
    auto watcher = std::make_unique<TWin32DeviceWatcher>(std::move(changed));
    try {
        watcher->Start();
    } catch (const std::system_error& error) {
        Trace(TTraceArea::Platform, "device watcher: no thread, ", error.what());
        return nullptr;
    }
    return watcher;
}

void NotifyDevicesChanged() {
    std::lock_guard guard(registryLock);
    for (TWin32DeviceWatcher* watcher : registry) watcher->Wake();
}

}  // namespace afp

#pragma once
// The machine's serial devices as the GUI thread hears of them: a device
// watcher (platform/DeviceWatcher.h) on the default port map's device tree
// and settings file, whose reports reach the GUI thread as one
// DevicesChanged signal per burst. The port choosers rebuild their lists on
// it and the port components look for a lost device on it.
//
// A burst: the first report after a quiet spell starts a SettleMs timer, and
// everything reported until it fires is told once, when it fires — a plug
// raises several reports (the node, its by-id links, the udev event), and
// the last of them (the links) comes a moment after the first. So a change
// is told at most SettleMs after its first report, however busy the device
// folders are.
//
// Threads: created, used and destroyed on the GUI thread. The watcher's
// thread only posts to it; posted_ is shared with that thread (atomic).
// Destroying the watch stops the watcher first (its stop sequence joins the
// thread), so no report arrives at a half-destroyed object.

#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

namespace afp {
class TDeviceWatcher;
}

class TAfDeviceWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int SettleMs = 100;

    explicit TAfDeviceWatch(QObject* owner = nullptr);
    ~TAfDeviceWatch() override;

    // Whether the watcher runs (false when the system gave it no thread).
    bool Watching() const { return watcher_ != nullptr; }

signals:
    void DevicesChanged();

private:
    void Reported();  // GUI thread

    QTimer settle_;
    std::atomic<bool> posted_{false};
    std::unique_ptr<afp::TDeviceWatcher> watcher_;
};

#pragma once
// Tells when the machine's serial devices may have changed: a USB serial
// adapter plugged in or pulled, a device node or a by-id link appearing or
// going, a path named in the settings file's [Ports] appearing or going, a
// virtual end plugged or unplugged. It tells only *that* something changed;
// whoever listens loads the port map and probes, as it would anyway.
//
// Linux (DeviceWatcherLinux.cpp): one thread sleeps in poll() on
//  - libudev's monitor of the "tty" subsystem: its events come after udev
//    has run its rules, so a node it announces already has its group and its
//    /dev/serial/by-id link;
//  - inotify on the device folder (names tty*), <DevDir>/serial and
//    <DevDir>/serial/by-id, and on the folder of every path [Ports] names (or
//    that folder's nearest existing ancestor, until the folder appears):
//    ptys and links raise no udev event, and a machine without udev (a
//    container) has none at all. The folders are watched afresh after every
//    change, and the settings file is read then, so a new [Ports] path counts
//    from the next change on;
//  - an eventfd that the stop and the virtual devices' plugging write to.
// Windows (DeviceWatcherWin32.cpp): one thread reads the system's port list
// (SERIALCOMM) once a second and compares it with the last one; virtual
// plugging wakes it at once.
//
// Changed runs on the watcher's thread, possibly several times for one plug
// (the node, its links and the udev event each count); it must be cheap and
// thread-safe: post to the listener's own thread and gather there.
//
// Stop sequence (the destructor): the watcher leaves the list that virtual
// plugging wakes, sets its stop flag, wakes its thread through its wake-up
// object and joins it, then closes its descriptors. Changed is never called
// once the destructor has returned; a watcher must not be destroyed from
// inside its own Changed.

#include "platform/PortMap.h"

#include <functional>
#include <memory>

namespace afp {

class TDeviceWatcher {
public:
    virtual ~TDeviceWatcher() = default;
    TDeviceWatcher(const TDeviceWatcher&) = delete;
    TDeviceWatcher& operator=(const TDeviceWatcher&) = delete;

protected:
    TDeviceWatcher() = default;
};

// Starts watching the device tree and the settings file sources name.
// Null when no thread could be started (the reason goes to the trace).
std::unique_ptr<TDeviceWatcher> StartDeviceWatcher(std::function<void()> changed, const TPortMapSources& sources);

// Wakes every running watcher as a change would. Any thread.
void NotifyDevicesChanged();

}  // namespace afp

#include "serial/AfDeviceWatch.h"

#include "platform/DeviceWatcher.h"
#include "platform/PortMap.h"

#include <QMetaObject>

TAfDeviceWatch::TAfDeviceWatch(QObject* owner) : QObject(owner) {
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    connect(&settle_, &QTimer::timeout, this, &TAfDeviceWatch::DevicesChanged);
    watcher_ = afp::StartDeviceWatcher(
        [this] {
            // One post at a time: a flood of reports costs the GUI thread one event.
            if (posted_.exchange(true)) return;
            QMetaObject::invokeMethod(this, &TAfDeviceWatch::Reported, Qt::QueuedConnection);
        },
        afp::TPortMap::DefaultSources());
}

TAfDeviceWatch::~TAfDeviceWatch() { watcher_.reset(); }

void TAfDeviceWatch::Reported() {
    posted_ = false;
    if (!settle_.isActive()) settle_.start();
}

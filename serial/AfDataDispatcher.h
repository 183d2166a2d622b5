#pragma once
// TAfDataDispConnComponent: the base of the serial port component. A data
// source or sink that other components can be connected to: it can be
// opened, closed and written to. The base itself does nothing; the serial
// port component (AfComPort.h) implements all three operations.
//
// It is the toolkit's component class (a QObject): its owner frees it, and
// its name is objectName(). GUI thread only.

#include <QObject>

#include <cstdint>
#include <functional>

// The toolkit's plain notification: Sender is the component that raised it.
using TNotifyEvent = std::function<void(QObject* Sender)>;

class TAfDataDispConnComponent : public QObject {
    Q_OBJECT

public:
    explicit TAfDataDispConnComponent(QObject* owner = nullptr);
    ~TAfDataDispConnComponent() override;

    // Sends count bytes from data.
    virtual void WriteData(const void* data, std::int32_t count) = 0;
    virtual void Close();
    virtual void Open();
};

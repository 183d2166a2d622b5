#pragma once
// The serial port component: the object the program holds for one COM port.
//
//  TAfCustomSerialPort  line settings, the DCB built from them, the port core,
//                       open and close, reading and writing, modem lines and
//                       the delivery of the core's events to the GUI thread
//  TAfCustomComPort     which device: COM<ComNumber>
//  TAfComPort           publishes the properties and events; SettingsText
//
// Ownership: a component owns its port core for its whole life and one slot
// of the delivery service (AfSafeSync.h) from creation to destruction. The
// core owns the device and its two worker threads while the port is open.
// Destroying the component gives the slot back and frees the core, which
// closes the device; OnPortClose does not fire then.
//
// Threads: the component is created, used and destroyed on the GUI thread,
// and every event but OnNonSyncEvent is raised there (OnPortOpen/OnPortClose
// on the thread that opens or closes, which is the GUI thread). The core's
// event thread runs HandleCoreEvent and OnNonSyncEvent; it hands every other
// event to the GUI thread and waits for it to be handled, at most
// DeliveryLimitMs. Assign OnNonSyncEvent only while the port is closed.
//
// Settings: assigning a property its current value does nothing at all. While
// the port is open every rebuilt DCB reaches the device at once; while it is
// closed the DCB waits for the next Open, which hands it over as last built.
// InBufSize, OutBufSize and the thread priorities only matter at Open.
//
// Errors: the component raises EAfComPortError through RaiseError, whose
// text is "<message> - <name> " (name = objectName()); the core's
// EAfComPortCoreError passes through unchanged. Operations on a closed port
// other than writing do not raise: they give false, 0 or an empty string.
//
// Losing the device: when the device disappears (USB adapter pulled, pty
// master closed, virtual end unplugged) the core reports ckDeviceLost once.
// It is always delivered to the GUI thread, OnNonSyncEvent or not. There the
// component schedules, through the GUI event loop, a close followed by the
// error "Device COM<n> is no longer available", shown in the application's
// error box. The close cannot run inside the delivery itself: the event
// thread waits for that delivery while the close waits for the event thread.
// The scheduled close is skipped when the port has been closed or reopened
// meanwhile. The port can be opened again once the device is back.
//
// Waiting for a lost device (TAfCustomComPort, with a device watch set): the
// port remembers at each open who its device is (platform/DeviceIdentity.h).
// Once a lost device's port has been closed, the port waits for that device
// (WaitingForDevice) and reopens by itself, with the same settings, as soon
// as the watch tells of a change after which the device stands in the port
// map again — under the same path, the same /dev/serial/by-id name or with
// the same USB serial number; its COM number becomes the one it stands at
// now. A device that is there but cannot be opened yet (udev still giving it
// its group, another program probing it, a network port's server down) is
// tried again every RetryMs, or after four times as long as the attempt took
// (up to MaxRetryMs), so slow attempts leave the GUI thread free. The
// loss is reported once, as without a watch; the return is not reported.
// Close (the "OFF" button), a successful Open and a change of ComNumber end
// the wait. Without a watch a lost port stays closed.

#include "platform/DeviceIdentity.h"
#include "platform/Win32Types.h"
#include "serial/AfComPortCore.h"
#include "serial/AfDataDispatcher.h"

#include <QPointer>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

class TAfDeviceWatch;

enum TAfBaudrate : int {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brUser  // the speed is UserBaudRate
};
enum TAfDatabits : int { db4, db5, db6, db7, db8 };
enum TAfParity : int { paNone, paOdd, paEven, paMark, paSpace };
enum TAfStopbits : int { sbOne, sbOneAndHalf, sbTwo };
enum TAfFlowControl : int { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
enum TAfComOption : int { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };

// A set of TAfComOption.
class TAfComOptions {
public:
    constexpr TAfComOptions() = default;
    constexpr TAfComOptions(std::initializer_list<TAfComOption> options) {
        for (TAfComOption option : options) Include(option);
    }
    constexpr bool Contains(TAfComOption option) const { return (bits_ & Bit(option)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TAfComOptions& Include(TAfComOption option) {
        bits_ = static_cast<std::uint8_t>(bits_ | Bit(option));
        return *this;
    }
    constexpr TAfComOptions& Exclude(TAfComOption option) {
        bits_ = static_cast<std::uint8_t>(bits_ & ~Bit(option));
        return *this;
    }
    constexpr bool operator==(const TAfComOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(TAfComOption option) { return static_cast<std::uint8_t>(1u << option); }
    std::uint8_t bits_ = 0;
};

// Event handler types; Sender is always the component.
using TAfCPTDataReceivedEvent = std::function<void(QObject* Sender, std::int32_t Count)>;
using TAfCPTErrorEvent = std::function<void(QObject* Sender, DWORD Errors)>;
// A core event as the component passes it on (OnSyncEvent, OnNonSyncEvent).
// Data is the core's: the EV_ mask, a byte count, an error code, or 0.
using TAfCPTPortEvent = std::function<void(QObject* Sender, TAfCoreEvent EventKind, DWORD Data)>;

class TAfCustomSerialPort : public TAfDataDispConnComponent {
    Q_OBJECT

public:
    static constexpr DWORD DeliveryLimitMs = 2000;

    explicit TAfCustomSerialPort(QObject* owner = nullptr);
    ~TAfCustomSerialPort() override;

    // Called by the owner once it has set the stored property values:
    // opens the port when AutoOpen is set, else rebuilds the DCB.
    virtual void Loaded();

    // Configures the core and opens the device, then fires OnPortOpen.
    // Nothing when already open. A failure leaves the port closed.
    void Open() override;
    // Closes the device (if open) and fires OnPortClose, even when closed.
    void Close() override;
    void SetOpen(bool open);
    bool IsOpen() const;

    // Every byte waiting in the driver's input queue, taken out of it.
    std::string ReadAvailable();
    // The same, at most limit bytes: the oldest ones; the rest keep waiting.
    std::string ReadAvailable(std::int32_t limit);
    // The same, with the time each run of the bytes arrived (platform/
    // ArrivalTime.h): chunks is replaced by runs, oldest first, whose counts
    // add up to the bytes' length.
    std::string ReadAvailable(std::int32_t limit, afp::TArrivalChunks& chunks);
    // Queues count bytes for sending, whole or not at all ("Write data error").
    void WriteData(const void* data, std::int32_t count) override;
    void WriteText(const std::string& bytes);
    std::int32_t InCount();
    std::int32_t OutFree();
    // Line 1 CTS, 2 DSR, 3 RING, 4 RLSD; false for a closed port.
    bool ModemLineSet(int line);
    std::int32_t BaudValue() const;
    // The DCB as last built (or as the device reported after a refusal).
    const DCB& Dcb() const { return dcb_; }

    // Called on the event thread whenever bytes arrive or are left waiting:
    // lets a poller that sleeps while its port is quiet wake up. It must be
    // cheap and thread-safe, and can be set only while the port is closed
    // ("Port is not closed" otherwise).
    void SetReceiveWatcher(std::function<void()> watcher);

protected:
    virtual void OpenPortDevice() = 0;
    // GUI thread: a lost device's port has just been closed, and the loss is
    // about to be reported.
    virtual void DeviceLost() {}
    [[noreturn]] virtual void RaiseError(const std::string& message);
    void CheckClosed();
    void UpdateDcb();
    void ComputeXLimits();
    TAfComPortCore& Core() { return *core_; }

    // ---- properties, published by TAfComPort ----
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool value) { autoOpen_ = value; }
    TAfBaudrate BaudRate() const { return baudRate_; }
    void SetBaudRate(TAfBaudrate value);
    TAfDatabits Databits() const { return databits_; }
    void SetDatabits(TAfDatabits value);
    bool DTR() const { return dtr_; }
    void SetDTR(bool value);
    TThreadPriority EventThreadPriority() const { return eventThreadPriority_; }
    void SetEventThreadPriority(TThreadPriority value) { eventThreadPriority_ = value; }
    TAfFlowControl FlowControl() const { return flowControl_; }
    void SetFlowControl(TAfFlowControl value);
    std::int32_t InBufSize() const { return inBufSize_; }
    void SetInBufSize(std::int32_t value);
    TAfComOptions Options() const { return options_; }
    void SetOptions(TAfComOptions value);
    std::int32_t OutBufSize() const { return outBufSize_; }
    void SetOutBufSize(std::int32_t value);
    TAfParity Parity() const { return parity_; }
    void SetParity(TAfParity value);
    bool RTS() const { return rts_; }
    void SetRTS(bool value);
    TAfStopbits Stopbits() const { return stopbits_; }
    void SetStopbits(TAfStopbits value);
    std::int32_t UserBaudRate() const { return userBaudRate_; }
    void SetUserBaudRate(std::int32_t value);
    TThreadPriority WriteThreadPriority() const { return writeThreadPriority_; }
    void SetWriteThreadPriority(TThreadPriority value) { writeThreadPriority_ = value; }
    char XOnChar() const { return xOnChar_; }
    void SetXOnChar(char value);
    char XOffChar() const { return xOffChar_; }
    void SetXOffChar(char value);
    std::uint16_t XOnLim() const { return xOnLim_; }
    void SetXOnLim(std::uint16_t value);
    std::uint16_t XOffLim() const { return xOffLim_; }
    void SetXOffLim(std::uint16_t value);

    // ---- events, published by TAfComPort ----
    TNotifyEvent OnCTSChanged;
    TAfCPTDataReceivedEvent OnDataRecived;
    TNotifyEvent OnDSRChanged;
    TAfCPTErrorEvent OnLineError;
    TAfCPTPortEvent OnNonSyncEvent;
    TNotifyEvent OnOutBufFree;
    TNotifyEvent OnPortClose;
    TNotifyEvent OnPortOpen;
    TNotifyEvent OnRINGDetected;
    TNotifyEvent OnRLSDChanged;
    TAfCPTPortEvent OnSyncEvent;

private:
    // ReadAvailable's work; chunks are filled only when timed.
    std::string ReadWaiting(std::int32_t limit, afp::TArrivalChunks& chunks, bool timed);
    // Event thread.
    void HandleCoreEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error);
    // An event whose delivery would run no handler at all is settled on the
    // event thread: a flood of received bytes then costs the GUI thread no
    // round trip per event. Handlers are assigned while the port is closed.
    bool NothingToDispatch(TAfCoreEvent kind, DWORD data) const;
    void DeliverEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error);
    // GUI thread.
    void RunPendingEvent();
    void DispatchEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error);
    void DispatchLineEvents(DWORD mask);
    void ScheduleLostDeviceClose();
    void CloseLostDevice(std::uint64_t generation);
    void Fire(const TNotifyEvent& event);

    bool autoOpen_ = false;
    TAfBaudrate baudRate_ = br115200;
    TAfDatabits databits_ = db8;
    bool dtr_ = true;
    TThreadPriority eventThreadPriority_ = tpNormal;
    TAfFlowControl flowControl_ = fwNone;
    std::int32_t inBufSize_ = 4096;
    TAfComOptions options_;
    std::int32_t outBufSize_ = 2048;
    TAfParity parity_ = paNone;
    bool rts_ = true;
    TAfStopbits stopbits_ = sbOne;
    std::int32_t userBaudRate_ = 0;
    TThreadPriority writeThreadPriority_ = tpHighest;
    char xOnChar_ = 17;   // DC1
    char xOffChar_ = 19;  // DC3
    std::uint16_t xOnLim_ = 0;
    std::uint16_t xOffLim_ = 0;

    DCB dcb_{};
    DWORD syncId_ = 0;
    std::unique_ptr<TAfComPortCore> core_;
    std::function<void()> receiveWatcher_;
    // Read by the event thread, hence atomic.
    std::atomic<bool> closing_{false};
    std::atomic<bool> destroying_{false};

    // The event being handed to the GUI thread. A delivery that ran out of
    // time is still served later, possibly while the event thread already
    // writes the next one, so the hand-over takes a lock.
    std::mutex pendingLock_;
    TAfCoreEvent pendingKind_ = ckOutputDrained;
    DWORD pendingData_ = 0;
    std::exception_ptr pendingError_;
    // Set by the event thread when the device is lost. Kept apart from the
    // pending event, which a later event may overwrite before a late
    // delivery is served.
    std::atomic<bool> lostPending_{false};
    // Counts opens and closes (GUI thread), so a scheduled close of a lost
    // device can tell that the port has changed since it was scheduled.
    std::uint64_t generation_ = 0;
};

class TAfCustomComPort : public TAfCustomSerialPort {
    Q_OBJECT

public:
    static constexpr int RetryMs = 250;
    static constexpr int MaxRetryMs = 10000;

    explicit TAfCustomComPort(QObject* owner = nullptr);

    // Ends a wait for a lost device, then closes as TAfCustomSerialPort does.
    void Close() override;
    // The watch whose changes a lost device is looked for on, or none: a lost
    // port then stays closed. Not owned.
    void SetDeviceWatch(TAfDeviceWatch* watch);
    bool WaitingForDevice() const { return waiting_; }

protected:
    // Opens COM<ComNumber>, showing the hourglass meanwhile.
    void OpenPortDevice() override;
    void DeviceLost() override;

    std::uint16_t ComNumber() const { return comNumber_; }
    // On an open port: Close, store, Open.
    void SetComNumber(std::uint16_t value);

private:
    // Reopens the port where its lost device stands again, if it does.
    void LookForDevice();
    bool ReopenAt(std::uint16_t number);
    void StopWaiting();

    std::uint16_t comNumber_ = 0;
    QPointer<TAfDeviceWatch> watch_;
    QMetaObject::Connection watchConnection_;
    bool waiting_ = false;
    afp::TDeviceIdentity device_;  // the device of the last open, while a watch is set
    QTimer retry_;
};

class TAfComPort : public TAfCustomComPort {
    Q_OBJECT

public:
    explicit TAfComPort(QObject* owner = nullptr);

    // "COM<n>: <baud>,<parity letter>,<data bits>,<stop bits>", e.g. "COM1: 9600,N,8,1".
    std::string SettingsText() const;

    using TAfCustomComPort::ComNumber;
    using TAfCustomComPort::SetComNumber;
    using TAfCustomSerialPort::AutoOpen;
    using TAfCustomSerialPort::BaudRate;
    using TAfCustomSerialPort::Databits;
    using TAfCustomSerialPort::DTR;
    using TAfCustomSerialPort::EventThreadPriority;
    using TAfCustomSerialPort::FlowControl;
    using TAfCustomSerialPort::InBufSize;
    using TAfCustomSerialPort::Options;
    using TAfCustomSerialPort::OutBufSize;
    using TAfCustomSerialPort::Parity;
    using TAfCustomSerialPort::RTS;
    using TAfCustomSerialPort::SetAutoOpen;
    using TAfCustomSerialPort::SetBaudRate;
    using TAfCustomSerialPort::SetDatabits;
    using TAfCustomSerialPort::SetDTR;
    using TAfCustomSerialPort::SetEventThreadPriority;
    using TAfCustomSerialPort::SetFlowControl;
    using TAfCustomSerialPort::SetInBufSize;
    using TAfCustomSerialPort::SetOptions;
    using TAfCustomSerialPort::SetOutBufSize;
    using TAfCustomSerialPort::SetParity;
    using TAfCustomSerialPort::SetRTS;
    using TAfCustomSerialPort::SetStopbits;
    using TAfCustomSerialPort::SetUserBaudRate;
    using TAfCustomSerialPort::SetWriteThreadPriority;
    using TAfCustomSerialPort::SetXOffChar;
    using TAfCustomSerialPort::SetXOffLim;
    using TAfCustomSerialPort::SetXOnChar;
    using TAfCustomSerialPort::SetXOnLim;
    using TAfCustomSerialPort::Stopbits;
    using TAfCustomSerialPort::UserBaudRate;
    using TAfCustomSerialPort::WriteThreadPriority;
    using TAfCustomSerialPort::XOffChar;
    using TAfCustomSerialPort::XOffLim;
    using TAfCustomSerialPort::XOnChar;
    using TAfCustomSerialPort::XOnLim;

    using TAfCustomSerialPort::OnCTSChanged;
    using TAfCustomSerialPort::OnDataRecived;
    using TAfCustomSerialPort::OnDSRChanged;
    using TAfCustomSerialPort::OnLineError;
    using TAfCustomSerialPort::OnNonSyncEvent;
    using TAfCustomSerialPort::OnOutBufFree;
    using TAfCustomSerialPort::OnPortClose;
    using TAfCustomSerialPort::OnPortOpen;
    using TAfCustomSerialPort::OnRINGDetected;
    using TAfCustomSerialPort::OnRLSDChanged;
    using TAfCustomSerialPort::OnSyncEvent;
};

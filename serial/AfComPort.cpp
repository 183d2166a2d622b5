#include "serial/AfComPort.h"

#include "platform/CommDevice.h"
#include "platform/PortMap.h"
#include "platform/Trace.h"
#include "serial/AfDeviceWatch.h"
#include "serial/AfSafeSync.h"
#include "ui/AfApplicationError.h"

#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr DWORD BaudValues[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000};
static_assert(std::size(BaudValues) == brUser);

// By TAfFlowControl: none; XOn/XOff both ways; CTS out and RTS handshake;
// DSR out and DTR handshake.
constexpr DWORD FlowControlBits[] = {
    0,
    DCB_FOUTX | DCB_FINX,
    DCB_FOUTXCTSFLOW | (RTS_CONTROL_HANDSHAKE << DCB_FRTSCONTROL_SHIFT),
    DCB_FOUTXDSRFLOW | (DTR_CONTROL_HANDSHAKE << DCB_FDTRCONTROL_SHIFT),
};
static_assert(std::size(FlowControlBits) == fwDtrDsr + 1);

constexpr std::pair<TAfComOption, DWORD> OptionBits[] = {
    {coParityCheck, DCB_FPARITY},
    {coDsrSensitivity, DCB_FDSRSENSITIVITY},
    {coIgnoreXOff, DCB_FTXCONTINUEONXOFF},
    {coErrorChar, DCB_FERRORCHAR},
    {coStripNull, DCB_FNULL},
};

constexpr const char* ParityLetters[] = {"N", "O", "E", "M", "S"};
constexpr const char* StopbitTexts[] = {"1", "1.5", "2"};

// The hourglass while a device opens; only a GUI application has a cursor.
class TWaitCursor {
public:
    TWaitCursor() : shown_(qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        if (shown_) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~TWaitCursor() {
        if (shown_) QGuiApplication::restoreOverrideCursor();
    }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;

private:
    const bool shown_;
};

}  // namespace

// ---- TAfCustomSerialPort ----

TAfCustomSerialPort::TAfCustomSerialPort(QObject* owner) : TAfDataDispConnComponent(owner) {
    syncId_ = RegisterSyncHandler([this] { RunPendingEvent(); });
    core_ = std::make_unique<TAfComPortCore>();
    core_->CoreEventHandler = [this](TAfComPortCore*, TAfCoreEvent kind, DWORD data, std::exception_ptr error) {
        HandleCoreEvent(kind, data, std::move(error));
    };
    UpdateDcb();
}

TAfCustomSerialPort::~TAfCustomSerialPort() {
    destroying_ = true;
    UnregisterSyncHandler(syncId_);
    core_.reset();
}

void TAfCustomSerialPort::Loaded() {
    if (autoOpen_)
        Open();
    else
        UpdateDcb();
}

void TAfCustomSerialPort::Fire(const TNotifyEvent& event) {
    if (event) event(this);
}

// ---- opening and closing ----

void TAfCustomSerialPort::Open() {
    if (core_->Opened()) return;
    EnableSyncHandler(syncId_, true);
    core_->SetDcb(dcb_);
    core_->SetInQueueSize(inBufSize_);
    core_->SetOutQueueSize(outBufSize_);
    core_->SetEventPriority(eventThreadPriority_);
    core_->SetWritePriority(writeThreadPriority_);
    closing_ = false;
    ++generation_;
    lostPending_ = false;
    OpenPortDevice();
    Fire(OnPortOpen);
}

void TAfCustomSerialPort::Close() {
    struct TClosingScope {
        std::atomic<bool>& Flag;
        explicit TClosingScope(std::atomic<bool>& flag) : Flag(flag) { Flag = true; }
        ~TClosingScope() { Flag = false; }
    } closing(closing_);
    // The slot goes quiet before the threads stop: an event thread caught in
    // a delivery is answered by the close's serving wait with nothing done.
    EnableSyncHandler(syncId_, false);
    core_->CloseDevice();
    ++generation_;
    Fire(OnPortClose);
}

void TAfCustomSerialPort::SetOpen(bool open) {
    if (open)
        Open();
    else
        Close();
}

bool TAfCustomSerialPort::IsOpen() const { return core_ && core_->Opened(); }

void TAfCustomSerialPort::CheckClosed() {
    if (IsOpen()) RaiseError("Port is not closed");
}

void TAfCustomSerialPort::RaiseError(const std::string& message) {
    const std::string name = objectName().toLocal8Bit().toStdString();
    throw EAfComPortError(AfFormat("%s - %s ", message.c_str(), name.c_str()));
}

// ---- reading, writing, lines ----

std::string TAfCustomSerialPort::ReadAvailable() { return ReadAvailable(INT32_MAX); }

std::string TAfCustomSerialPort::ReadAvailable(std::int32_t limit) {
    afp::TArrivalChunks unused;
    return ReadWaiting(limit, unused, false);
}

std::string TAfCustomSerialPort::ReadAvailable(std::int32_t limit, afp::TArrivalChunks& chunks) {
    return ReadWaiting(limit, chunks, true);
}

std::string TAfCustomSerialPort::ReadWaiting(std::int32_t limit, afp::TArrivalChunks& chunks, bool timed) {
    chunks.clear();
    if (closing_ || limit < 1) return {};
    COMSTAT stat{};
    core_->QueryComStat(stat);
    if (stat.cbInQue == 0) return {};
    std::string bytes(std::min<std::size_t>(stat.cbInQue, static_cast<std::size_t>(limit)), '\0');
    const std::int32_t read =
        core_->ReadBytes(bytes.data(), static_cast<std::int32_t>(bytes.size()), timed ? &chunks : nullptr);
    bytes.resize(static_cast<std::size_t>(std::max(read, 0)));
    return bytes;
}

void TAfCustomSerialPort::WriteData(const void* data, std::int32_t count) {
    if (closing_) return;
    if (!core_->QueueBytes(data, count))
        RaiseError(AfFormat("Write data error [requested: %d, free: %d]", count, OutFree()));
}

void TAfCustomSerialPort::WriteText(const std::string& bytes) {
    if (bytes.empty()) return;
    WriteData(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

std::int32_t TAfCustomSerialPort::InCount() {
    COMSTAT stat{};
    core_->QueryComStat(stat);
    return static_cast<std::int32_t>(stat.cbInQue);
}

std::int32_t TAfCustomSerialPort::OutFree() { return core_->OutputSpace(); }

bool TAfCustomSerialPort::ModemLineSet(int line) {
    DWORD bit = 0;
    switch (line) {
        case 1: bit = MS_CTS_ON; break;
        case 2: bit = MS_DSR_ON; break;
        case 3: bit = MS_RING_ON; break;
        case 4: bit = MS_RLSD_ON; break;
        default: return false;
    }
    return (core_->ModemStatusBits() & bit) != 0;
}

std::int32_t TAfCustomSerialPort::BaudValue() const {
    if (baudRate_ == brUser) return userBaudRate_;
    return static_cast<std::int32_t>(BaudValues[baudRate_]);
}

// ---- the DCB ----

void TAfCustomSerialPort::UpdateDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(BaudValue());
    DWORD flags = DCB_FBINARY | FlowControlBits[flowControl_];
    for (const auto& [option, bit] : OptionBits)
        if (options_.Contains(option)) flags |= bit;
    if (dtr_ && flowControl_ != fwDtrDsr) flags |= DTR_CONTROL_ENABLE << DCB_FDTRCONTROL_SHIFT;
    if (rts_ && flowControl_ != fwRtsCts) flags |= RTS_CONTROL_ENABLE << DCB_FRTSCONTROL_SHIFT;
    SetDcbFlags(dcb, flags);
    dcb.XonLim = xOnLim_;
    dcb.XoffLim = xOffLim_;
    dcb.ByteSize = static_cast<BYTE>(4 + databits_);
    dcb.Parity = static_cast<BYTE>(parity_);
    dcb.StopBits = static_cast<BYTE>(stopbits_);
    dcb.XonChar = xOnChar_;
    dcb.XoffChar = xOffChar_;
    dcb_ = dcb;
    if (!IsOpen()) return;
    try {
        core_->SetDcb(dcb_);
    } catch (...) {
        // The core has read the device's own settings back: they stay in force.
        dcb_ = core_->Dcb();
        throw;
    }
}

void TAfCustomSerialPort::ComputeXLimits() {
    if (flowControl_ == fwNone) {
        xOnLim_ = 0;
        xOffLim_ = 0;
        return;
    }
    const std::int32_t onLimit = inBufSize_ / 4;
    xOnLim_ = static_cast<std::uint16_t>(onLimit);
    xOffLim_ = static_cast<std::uint16_t>(inBufSize_ - onLimit);
}

// ---- property setters ----

void TAfCustomSerialPort::SetBaudRate(TAfBaudrate value) {
    if (value == baudRate_) return;
    baudRate_ = value;
    if (value != brUser) userBaudRate_ = 0;
    UpdateDcb();
}

void TAfCustomSerialPort::SetDatabits(TAfDatabits value) {
    if (value == databits_) return;
    databits_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetDTR(bool value) {
    if (value == dtr_) return;
    core_->SendEscape(value ? SETDTR : CLRDTR);
    dtr_ = value;
}

void TAfCustomSerialPort::SetFlowControl(TAfFlowControl value) {
    if (value == flowControl_) return;
    flowControl_ = value;
    ComputeXLimits();
    UpdateDcb();
}

void TAfCustomSerialPort::SetInBufSize(std::int32_t value) {
    if (value == inBufSize_) return;
    CheckClosed();
    inBufSize_ = value;
    ComputeXLimits();
}

void TAfCustomSerialPort::SetOptions(TAfComOptions value) {
    if (value == options_) return;
    options_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetOutBufSize(std::int32_t value) {
    if (value == outBufSize_) return;
    CheckClosed();
    outBufSize_ = value;
}

void TAfCustomSerialPort::SetParity(TAfParity value) {
    if (value == parity_) return;
    parity_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetRTS(bool value) {
    if (value == rts_) return;
    core_->SendEscape(value ? SETRTS : CLRRTS);
    rts_ = value;
}

void TAfCustomSerialPort::SetStopbits(TAfStopbits value) {
    if (value == stopbits_) return;
    stopbits_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetUserBaudRate(std::int32_t value) {
    if (value == userBaudRate_) return;
    userBaudRate_ = value;
    baudRate_ = brUser;
    UpdateDcb();
}

void TAfCustomSerialPort::SetXOnChar(char value) {
    if (value == xOnChar_) return;
    xOnChar_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetXOffChar(char value) {
    if (value == xOffChar_) return;
    xOffChar_ = value;
    UpdateDcb();
}

void TAfCustomSerialPort::SetXOnLim(std::uint16_t value) {
    if (value == xOnLim_) return;
    xOnLim_ = value;
    xOffLim_ = static_cast<std::uint16_t>(inBufSize_ - value);
}

void TAfCustomSerialPort::SetXOffLim(std::uint16_t value) {
    if (value == xOffLim_) return;
    xOffLim_ = value;
    xOnLim_ = static_cast<std::uint16_t>(inBufSize_ - value);
}

// ---- events: the event thread's side ----

void TAfCustomSerialPort::HandleCoreEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error) {
    if (closing_ || destroying_) return;
    switch (kind) {
        case ckThreadException: DeliverEvent(kind, data, std::move(error)); return;
        case ckDeviceLost:
            // Never left to OnNonSyncEvent: only the GUI thread can close the port.
            lostPending_ = true;
            DeliverEvent(kind, data, nullptr);
            return;
        default:
            if (receiveWatcher_ && (kind == ckDataWaiting || (kind == ckCommEvent && (data & EV_RXCHAR))))
                receiveWatcher_();
            if (OnNonSyncEvent) {
                OnNonSyncEvent(this, kind, data);
                return;
            }
            if (NothingToDispatch(kind, data)) {
                // What the GUI thread would have done: a comm event always
                // takes the gathered line errors, whatever its mask.
                if (kind == ckCommEvent) {
                    COMSTAT stat{};
                    core_->QueryComStat(stat);
                    core_->TakeLineErrors();
                }
                return;
            }
            DeliverEvent(kind, data, nullptr);
    }
}

bool TAfCustomSerialPort::NothingToDispatch(TAfCoreEvent kind, DWORD data) const {
    if (OnSyncEvent) return false;
    switch (kind) {
        case ckOutputDrained: return !OnOutBufFree;
        case ckDataWaiting: return !OnDataRecived;
        case ckCommEvent: return data == EV_RXCHAR && !OnDataRecived;
        default: return false;
    }
}

void TAfCustomSerialPort::SetReceiveWatcher(std::function<void()> watcher) {
    CheckClosed();
    receiveWatcher_ = std::move(watcher);
}

void TAfCustomSerialPort::DeliverEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error) {
    {
        std::lock_guard guard(pendingLock_);
        pendingKind_ = kind;
        pendingData_ = data;
        pendingError_ = std::move(error);
    }
    // False: the slot was disabled (the port is closing) or given back.
    if (!CallSyncHandler(syncId_, DeliveryLimitMs)) throw EAbort();
}

// ---- events: the GUI thread's side ----

void TAfCustomSerialPort::RunPendingEvent() {
    if (closing_) return;
    TAfCoreEvent kind;
    DWORD data;
    std::exception_ptr error;
    {
        std::lock_guard guard(pendingLock_);
        kind = pendingKind_;
        data = pendingData_;
        error = std::exchange(pendingError_, nullptr);
    }
    // Before the handlers run, so that none of them can keep the close away.
    if (lostPending_.exchange(false)) ScheduleLostDeviceClose();
    DispatchEvent(kind, data, std::move(error));
}

void TAfCustomSerialPort::DispatchEvent(TAfCoreEvent kind, DWORD data, std::exception_ptr error) {
    if (closing_ || destroying_) return;
    if (OnSyncEvent) OnSyncEvent(this, kind, data);
    switch (kind) {
        case ckOutputDrained: Fire(OnOutBufFree); break;
        case ckCommEvent:
            if ((data & EV_RXCHAR) && OnDataRecived) OnDataRecived(this, InCount());
            DispatchLineEvents(data);
            break;
        case ckDataWaiting:
            if (OnDataRecived) OnDataRecived(this, static_cast<std::int32_t>(data));
            break;
        case ckThreadException:
            // The delivery service's guard shows it in the application's error box.
            if (error) std::rethrow_exception(std::move(error));
            break;
        case ckDeviceLost: break;  // handled by RunPendingEvent
    }
}

void TAfCustomSerialPort::DispatchLineEvents(DWORD mask) {
    // The driver hands its line errors out only through a status query, and
    // the EV_ERR that announces them can come before the event thread's next
    // idle query: gather them now, so OnLineError reports the errors it
    // stands for.
    COMSTAT stat{};
    core_->QueryComStat(stat);
    const DWORD errors = core_->TakeLineErrors();
    if ((mask & EV_ERR) && OnLineError) OnLineError(this, errors);
    if (mask & EV_CTS) Fire(OnCTSChanged);
    if (mask & EV_DSR) Fire(OnDSRChanged);
    if (mask & EV_RING) Fire(OnRINGDetected);
    if (mask & EV_RLSD) Fire(OnRLSDChanged);
}

void TAfCustomSerialPort::ScheduleLostDeviceClose() {
    const std::uint64_t generation = generation_;
    QMetaObject::invokeMethod(
        this, [this, generation] { AfGuard([&] { CloseLostDevice(generation); }); }, Qt::QueuedConnection);
}

void TAfCustomSerialPort::CloseLostDevice(std::uint64_t generation) {
    if (generation != generation_) return;  // closed or reopened since
    const std::string device = core_->DeviceName();
    afp::Trace(afp::TTraceArea::Monitor, device, ": the device has gone, closing the port");
    Close();
    DeviceLost();
    RaiseError(AfFormat("Device %s is no longer available", device.c_str()));
}

// ---- TAfCustomComPort ----

namespace {

// Who stands behind COM<number> now.
afp::TDeviceIdentity IdentifyPort(int number) {
    const afp::TPortMapSources sources = afp::TPortMap::DefaultSources();
    const auto entry = afp::TPortMap::Load(sources).Find(number);
    return entry ? afp::IdentifyDevice(entry->Device, sources) : afp::TDeviceIdentity{};
}

}  // namespace

TAfCustomComPort::TAfCustomComPort(QObject* owner) : TAfCustomSerialPort(owner) {
    retry_.setSingleShot(true);
    retry_.setInterval(RetryMs);
    connect(&retry_, &QTimer::timeout, this, [this] { AfGuard([this] { LookForDevice(); }); });
}

void TAfCustomComPort::OpenPortDevice() {
    TWaitCursor hourglass;
    afp::Trace(afp::TTraceArea::Monitor, "COM", comNumber_, ": open requested");
    try {
        Core().OpenDevice(comNumber_);
    } catch (const std::exception& error) {
        afp::Trace(afp::TTraceArea::Monitor, "COM", comNumber_, ": not opened: ", error.what());
        throw;
    }
    StopWaiting();
    if (watch_) device_ = IdentifyPort(comNumber_);
}

void TAfCustomComPort::Close() {
    StopWaiting();
    TAfCustomSerialPort::Close();
}

void TAfCustomComPort::SetDeviceWatch(TAfDeviceWatch* watch) {
    disconnect(watchConnection_);
    watchConnection_ = {};
    watch_ = watch;
    if (!watch) {
        StopWaiting();
        return;
    }
    watchConnection_ =
        connect(watch, &TAfDeviceWatch::DevicesChanged, this, [this] { AfGuard([this] { LookForDevice(); }); });
    if (IsOpen()) device_ = IdentifyPort(comNumber_);
}

void TAfCustomComPort::DeviceLost() {
    if (!watch_) return;
    waiting_ = true;
    afp::Trace(afp::TTraceArea::Monitor, "COM", comNumber_, ": waiting for ", device_.Device, " to come back");
    // It may be back already, before any change is told.
    QMetaObject::invokeMethod(
        this, [this] { AfGuard([this] { LookForDevice(); }); }, Qt::QueuedConnection);
}

void TAfCustomComPort::LookForDevice() {
    if (!waiting_ || IsOpen()) return;
    const afp::TPortMapSources sources = afp::TPortMap::DefaultSources();
    const auto number = afp::FindReturnedDevice(device_, afp::TPortMap::Load(sources), sources);
    if (!number) return;
    const DWORD probe = afp::ProbeCommDevice("COM" + std::to_string(*number));
    if (probe == ERROR_FILE_NOT_FOUND) return;
    QElapsedTimer attempt;
    attempt.start();
    if (probe == ERROR_SUCCESS && ReopenAt(static_cast<std::uint16_t>(*number))) return;
    // There, but not to be had yet: udev may still be giving the node its
    // group, or another program probing it, or a network port's server is
    // down. An attempt that took long (a server that does not answer within
    // the connect limit) waits four times as long before the next, so the
    // GUI thread stays free most of the time.
    retry_.start(static_cast<int>(std::clamp<qint64>(4 * attempt.elapsed(), RetryMs, MaxRetryMs)));
}

bool TAfCustomComPort::ReopenAt(std::uint16_t number) {
    const std::uint16_t before = comNumber_;
    comNumber_ = number;
    try {
        Open();
    } catch (const std::exception& error) {
        afp::Trace(afp::TTraceArea::Monitor, "COM", number, ": not reopened: ", error.what());
    }
    // An error of OnPortOpen leaves the port open: the device is back all the same.
    if (IsOpen()) {
        afp::Trace(afp::TTraceArea::Monitor, "COM", number, ": reopened, ", device_.Device, " is back");
        return true;
    }
    comNumber_ = before;
    return false;
}

void TAfCustomComPort::StopWaiting() {
    waiting_ = false;
    retry_.stop();
}

void TAfCustomComPort::SetComNumber(std::uint16_t value) {
    if (value == comNumber_) return;
    StopWaiting();
    if (IsOpen()) {
        Close();
        comNumber_ = value;
        Open();
    } else {
        comNumber_ = value;
    }
}

// ---- TAfComPort ----

TAfComPort::TAfComPort(QObject* owner) : TAfCustomComPort(owner) {}

std::string TAfComPort::SettingsText() const {
    return AfFormat("COM%d: %d,%s,%s,%s", ComNumber(), BaudValue(), ParityLetters[Parity()],
                    std::to_string(4 + Databits()).c_str(), StopbitTexts[Stopbits()]);
}

#include "platform/VirtualCommDevice.h"

#include "platform/CommBackends.h"
#include "platform/CommDriver.h"
#include "platform/DeviceWatcher.h"
#include "platform/Trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

// The choices the header states, and why:
//  - Settings last between opens and opening raises DTR and RTS, as a Windows
//    driver behaves; TOGGLE and HANDSHAKE count as "on".
//  - Flow-control flags change nothing because the cable always holds a
//    sender whose receiver's queue is full, so nothing is lost between two
//    open ends. The receiver's settings do not garble what the sender sends.
//  - Unplugging an end loses its open device and frees the end: once plugged
//    again it can be opened while the lost device still exists.
//
// Locking: one process-wide registry lock guards every end and the wiring
// between devices. A line thread holds it while it hands bytes to the other
// end, so a device detached under that lock is never touched again. Order:
// registry lock, then a driver's lock, then the kernel-event lock.

namespace afp {

namespace {

using TClock = std::chrono::steady_clock;
using virt::TEnd;
using virt::TRefusable;

// The line wakes at most about this often, handing over every character that
// has become due; at high baud rates one wake carries many.
constexpr auto LineTick = std::chrono::milliseconds(1);

class TVirtualDevice;

// One end of a pair, or a loopback plug (its own peer). Lives until the
// process ends; every field but the constant name is guarded by the
// registry lock.
struct TEndState {
    std::string Name;
    TEndState* Peer = nullptr;
    bool Plugged = true;
    bool Stalled = false;
    unsigned Refused = 0;  // bits of TRefusable
    DCB State{};           // the last settings applied on this end
    bool Rts = false;      // output lines, off while the end is closed
    bool Dtr = false;
    TVirtualDevice* Device = nullptr;
};

struct TRegistry {
    std::mutex Lock;
    std::map<std::string, std::unique_ptr<TEndState>> Ends;
};

// Never destroyed: a device may outlive static destruction at process exit.
TRegistry& Registry() {
    static TRegistry* registry = new TRegistry;
    return *registry;
}

bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// The end a virtual device name stands for, created with its pair on first
// use; null for a name that is not one. Called holding the registry lock.
TEndState* FindEnd(const std::string& name) {
    const std::string prefix = VirtualPrefix;
    if (name.rfind(prefix, 0) != 0) return nullptr;
    const std::string rest = name.substr(prefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos) return nullptr;
    const std::string first = rest.substr(0, slash);
    const std::string second = rest.substr(slash + 1);
    if (!IsToken(first) || !IsToken(second)) return nullptr;

    TRegistry& registry = Registry();
    const bool loop = first == "loop";
    if (!loop && second != "A" && second != "B") return nullptr;
    if (const auto found = registry.Ends.find(name); found != registry.Ends.end()) return found->second.get();

    auto make = [](std::string endName) {
        auto end = std::make_unique<TEndState>();
        end->Name = std::move(endName);
        end->State = MakeDefaultDcb();
        return end;
    };
    if (loop) {
        auto plug = make(name);
        plug->Peer = plug.get();
        return registry.Ends.emplace(name, std::move(plug)).first->second.get();
    }
    auto a = make(virt::EndName(first, TEnd::A));
    auto b = make(virt::EndName(first, TEnd::B));
    a->Peer = b.get();
    b->Peer = a.get();
    TEndState* wanted = second == "A" ? a.get() : b.get();
    registry.Ends.emplace(virt::EndName(first, TEnd::A), std::move(a));
    registry.Ends.emplace(virt::EndName(first, TEnd::B), std::move(b));
    return wanted;
}

// What the other side of this end's cable sees of its output lines.
DWORD LinesSeenFrom(const TEndState& end) { return (end.Rts ? MS_CTS_ON : 0) | (end.Dtr ? MS_DSR_ON | MS_RLSD_ON : 0); }

void ApplyControls(TEndState& end, const DCB& dcb) {
    end.Rts = DcbRtsControl(dcb) != RTS_CONTROL_DISABLE;
    end.Dtr = DcbDtrControl(dcb) != DTR_CONTROL_DISABLE;
}

// The time one character takes on the line: start bit, data bits, parity
// and stop bits.
std::chrono::duration<double> CharacterTime(const DCB& dcb) {
    const double stopBits = dcb.StopBits == ONE5STOPBITS ? 1.5 : dcb.StopBits == TWOSTOPBITS ? 2.0 : 1.0;
    const double bits = 1.0 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1.0 : 0.0) + stopBits;
    return std::chrono::duration<double>(bits / dcb.BaudRate);
}

constexpr unsigned RefusalBit(TRefusable operation) { return 1u << static_cast<unsigned>(operation); }

// An open end. Its line thread sends what the device writes to the device at
// the other end of the cable, paced at this end's baud rate. Every member
// without a driver lock of its own is guarded by the registry lock.
class TVirtualDevice final : public TCommDriver {
public:
    // Called holding the registry lock; attaches itself to the end.
    TVirtualDevice(TEndState& end, DWORD modemStatus) : TCommDriver(end.State, modemStatus), end_(end) {
        line_ = std::thread([this] { RunLine(); });
        end_.Device = this;
    }

    ~TVirtualDevice() override {
        ShutdownDriver();
        {
            std::lock_guard guard(Registry().Lock);
            stopping_ = true;
            wake_.notify_all();
        }
        line_.join();
        {
            std::lock_guard guard(Registry().Lock);
            if (attached_) DetachLocked();
        }
        Trace(TTraceArea::Platform, "close ", end_.Name);
    }

    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
        if (IsRefused(TRefusable::SetCommTimeouts)) return Refusal();
        return TCommDriver::SetCommTimeouts(timeouts);
    }

    bool SetupComm(DWORD inQueue, DWORD outQueue) override {
        if (IsRefused(TRefusable::SetupComm)) return Refusal();
        return TCommDriver::SetupComm(inQueue, outQueue);
    }

    bool SetCommMask(DWORD mask) override {
        if (IsRefused(TRefusable::SetCommMask)) return Refusal();
        return TCommDriver::SetCommMask(mask);
    }

    // ---- called holding the registry lock ----
    void SeeLines(DWORD status) { SetModemStatus(status); }
    void SeeRing() { ReportRing(); }
    void SeeLineErrors(DWORD errors) { ReportLineErrors(errors); }

    // The end has been unplugged: the device is lost and lets go of it.
    void UnplugLocked() {
        Trace(TTraceArea::Platform, "lost ", end_.Name, ": unplugged");
        MarkLost();
        DetachLocked();
    }

    void WakeLocked() {
        woken_ = true;
        wake_.notify_all();
    }

    void WakeIfHeldLocked() {
        if (held_) WakeLocked();
    }

protected:
    DWORD LineApplyState(const DCB& dcb) override {
        std::lock_guard guard(Registry().Lock);
        if (!attached_) return ERROR_BAD_COMMAND;
        if (end_.Refused & RefusalBit(TRefusable::SetCommState)) {
            Trace(TTraceArea::Platform, "settings of ", end_.Name, ": asked ", dcb, ", refused on request -> ",
                  TWin32Error{ERROR_GEN_FAILURE});
            return ERROR_GEN_FAILURE;
        }
        end_.State = dcb;
        end_.State.DCBlength = sizeof(DCB);
        ApplyControls(end_, dcb);
        PublishLinesLocked();
        restartClock_ = true;
        WakeLocked();
        return ERROR_SUCCESS;
    }

    DWORD LineEscape(DWORD function) override {
        std::lock_guard guard(Registry().Lock);
        if (!attached_) return ERROR_BAD_COMMAND;
        switch (function) {
            case SETRTS: end_.Rts = true; break;
            case CLRRTS: end_.Rts = false; break;
            case SETDTR: end_.Dtr = true; break;
            case CLRDTR: end_.Dtr = false; break;
            case SETBREAK:
                if (TVirtualDevice* receiver = end_.Peer->Device) receiver->SeeLineErrors(CE_BREAK);
                return ERROR_SUCCESS;
            default: return ERROR_SUCCESS;
        }
        PublishLinesLocked();
        return ERROR_SUCCESS;
    }

    // Bytes go straight from the writer's buffer into the receiver's queue;
    // the line itself holds nothing to discard.
    void LineFlush(DWORD) override {}

    void LineWake() override {
        std::lock_guard guard(Registry().Lock);
        WakeLocked();
        // Room freed in this device's queue lets a held sender go on.
        if (attached_ && end_.Peer->Device && end_.Peer->Device != this) end_.Peer->Device->WakeIfHeldLocked();
    }

private:
    bool IsRefused(TRefusable operation) const {
        std::lock_guard guard(Registry().Lock);
        return attached_ && (end_.Refused & RefusalBit(operation));
    }

    static bool Refusal() {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }

    void PublishLinesLocked() {
        if (TVirtualDevice* other = end_.Peer->Device) other->SeeLines(LinesSeenFrom(end_));
    }

    void DetachLocked() {
        attached_ = false;
        end_.Device = nullptr;
        end_.Rts = false;
        end_.Dtr = false;
        if (end_.Peer != &end_) {
            PublishLinesLocked();
            // A sender held by this device's full queue now sends into nothing.
            if (TVirtualDevice* other = end_.Peer->Device) other->WakeIfHeldLocked();
        }
    }

    // Blocks until LineWake, a hook or the destructor wakes the line, or
    // until the deadline when one is given.
    void WaitForWake(std::unique_lock<std::mutex>& guard, const TClock::time_point* until) {
        auto woken = [this] { return stopping_ || woken_; };
        if (until)
            wake_.wait_until(guard, *until, woken);
        else
            wake_.wait(guard, woken);
    }

    // The line: paces output at the baud rate against a clock that restarts
    // whenever the line has been idle or held, so no unused time is saved up
    // into a burst. Never holds a run of output (BeginOutput) across a wait,
    // so a purge or a shutdown never waits for the pacing.
    void RunLine() {
        std::unique_lock guard(Registry().Lock);
        TClock::time_point start;
        std::uint64_t sent = 0;
        bool restart = true;
        while (!stopping_) {
            woken_ = false;
            if (!attached_ || end_.Stalled || !OutputPending()) {
                WaitForWake(guard, nullptr);
                restart = true;
                continue;
            }
            const auto now = TClock::now();
            if (restart || restartClock_) {
                start = now;
                sent = 0;
                restart = false;
                restartClock_ = false;
            }
            const auto character = CharacterTime(end_.State);
            // The moment character k has fully gone; the only formula used
            // for both the count and the sleep, so a wake at the deadline
            // always finds the next character due.
            auto gone = [&](std::uint64_t k) {
                return start + std::chrono::ceil<TClock::duration>(character * static_cast<double>(k));
            };
            std::uint64_t reached =
                sent + static_cast<std::uint64_t>(std::max(0.0, std::floor((now - gone(sent)) / character)));
            while (gone(reached + 1) <= now) ++reached;
            while (reached > sent && gone(reached) > now) --reached;
            if (reached == sent) {
                const auto due = std::max(gone(sent + 1), now + LineTick);
                WaitForWake(guard, &due);
                continue;
            }

            const BYTE* data = nullptr;
            std::size_t count = 0;
            if (!BeginOutput(data, count)) continue;
            const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(reached - sent, count));
            TVirtualDevice* receiver = end_.Peer->Device;
            if (receiver) receiver->HandOverGatheredElsewhere();
            const std::size_t taken = receiver ? receiver->DeliverInput(data, wanted) : wanted;
            EndOutput(taken);
            sent += taken;
            if (taken < wanted) {
                // The receiver's queue is full: wait for it to make room.
                held_ = true;
                WaitForWake(guard, nullptr);
                held_ = false;
                restart = true;
            }
        }
    }

    TEndState& end_;
    bool attached_ = true;
    bool stopping_ = false;
    bool woken_ = false;
    bool held_ = false;
    bool restartClock_ = false;
    std::condition_variable wake_;  // waited on with the registry lock
    std::thread line_;
};

template <typename Action>
void WithEnd(const std::string& device, Action action) {
    std::lock_guard guard(Registry().Lock);
    if (TEndState* end = FindEnd(device)) action(*end);
}

}  // namespace

std::unique_ptr<TCommDevice> OpenVirtualCommDevice(const std::string& name) {
    std::lock_guard guard(Registry().Lock);
    TEndState* end = FindEnd(name);
    if (!end || !end->Plugged) {
        Trace(TTraceArea::Platform, "open ", name, ": ", end ? "unplugged" : "no such virtual device", " -> ",
              TWin32Error{ERROR_FILE_NOT_FOUND});
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (end->Device) {
        Trace(TTraceArea::Platform, "open ", name, ": already open -> ", TWin32Error{ERROR_ACCESS_DENIED});
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // Like a Windows driver, opening raises the lines the settings enable.
    const bool rts = end->Rts;
    const bool dtr = end->Dtr;
    ApplyControls(*end, end->State);
    try {
        auto device = std::make_unique<TVirtualDevice>(*end, LinesSeenFrom(*end->Peer));
        if (TVirtualDevice* other = end->Peer->Device; other && end->Peer != end) other->SeeLines(LinesSeenFrom(*end));
        Trace(TTraceArea::Platform, "open ", name, ": done, line at ", end->State);
        return device;
    } catch (const std::bad_alloc&) {
        Trace(TTraceArea::Platform, "open ", name, ": out of memory -> ", TWin32Error{ERROR_GEN_FAILURE});
        SetLastError(ERROR_GEN_FAILURE);
    } catch (const std::system_error& error) {
        Trace(TTraceArea::Platform, "open ", name, ": ", error.what(), " -> ", TWin32Error{ERROR_GEN_FAILURE});
        SetLastError(ERROR_GEN_FAILURE);
    }
    end->Rts = rts;
    end->Dtr = dtr;
    return nullptr;
}

DWORD ProbeVirtualCommDevice(const std::string& name) {
    std::lock_guard guard(Registry().Lock);
    const TEndState* end = FindEnd(name);
    if (!end || !end->Plugged) return ERROR_FILE_NOT_FOUND;
    // Opening would raise the end's lines, which its peer would see.
    return end->Device ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

namespace virt {

std::string EndName(const std::string& pair, TEnd end) { return VirtualPrefix + pair + (end == TEnd::A ? "/A" : "/B"); }

std::string LoopName(const std::string& plug) { return VirtualPrefix + std::string("loop/") + plug; }

void Ring(const std::string& device) {
    WithEnd(device, [](TEndState& end) {
        if (end.Device) end.Device->SeeRing();
    });
}

void InjectLineErrors(const std::string& device, DWORD errors) {
    WithEnd(device, [errors](TEndState& end) {
        if (end.Device) end.Device->SeeLineErrors(errors);
    });
}

void StallWrites(const std::string& device, bool stalled) {
    WithEnd(device, [stalled](TEndState& end) {
        end.Stalled = stalled;
        if (end.Device) end.Device->WakeLocked();
    });
}

void Unplug(const std::string& device) {
    WithEnd(device, [](TEndState& end) {
        end.Plugged = false;
        if (end.Device) end.Device->UnplugLocked();
    });
    NotifyDevicesChanged();
}

void Plug(const std::string& device) {
    WithEnd(device, [](TEndState& end) { end.Plugged = true; });
    NotifyDevicesChanged();
}

void Refuse(const std::string& device, TRefusable operation, bool refused) {
    WithEnd(device, [operation, refused](TEndState& end) {
        if (refused)
            end.Refused |= RefusalBit(operation);
        else
            end.Refused &= ~RefusalBit(operation);
    });
}

DWORD PeerModemStatus(const std::string& device) {
    DWORD status = 0;
    WithEnd(device, [&status](TEndState& end) { status = LinesSeenFrom(end); });
    return status;
}

}  // namespace virt

}  // namespace afp

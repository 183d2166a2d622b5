#include "serial/AfSafeSync.h"

#include "platform/KernelObjects.h"
#include "serial/AfGuiCalls.h"
#include "ui/AfApplicationError.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QObject>
#include <QThread>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace {

struct TSyncSlot {
    bool Enabled = false;
    TAfSyncHandler Handler;
    DWORD Id = 0;
};

// One call carried to the GUI thread. Whoever takes it first (the posted
// event or a thread wait's serving loop) runs it; the other finds it taken.
struct TGuiCall {
    std::function<void()> Run;
    std::atomic<bool> Taken{false};
    afp::TKernelEvent Done{true};
};

class TSyncService final : public TAfGuiCalls {
public:
    TSyncService() : receiver_(new QObject), guiThread_(QThread::currentThread()) {}

    // ---- the table (callers hold tableLock) ----
    std::mutex tableLock;
    std::array<TSyncSlot, SyncSlotCount> table;
    DWORD lastId = 0;

    TSyncSlot* FindLocked(DWORD id) {
        if (id == 0) return nullptr;
        for (TSyncSlot& slot : table)
            if (slot.Id == id) return &slot;
        return nullptr;
    }

    // ---- carrying calls ----
    bool Carry(std::function<void()> run, DWORD limitMs) {
        auto call = std::make_shared<TGuiCall>();
        call->Run = std::move(run);
        {
            std::lock_guard guard(pendingLock_);
            pending_.push_back(call);
            callsPending_.Set();
        }
        QMetaObject::invokeMethod(receiver_, [this, call] { Serve(call); }, Qt::QueuedConnection);
        return afp::WaitForEvent(call->Done, limitMs);
    }

    void Serve(const std::shared_ptr<TGuiCall>& call) {
        if (call->Taken.exchange(true)) return;
        {
            std::lock_guard guard(pendingLock_);
            std::erase(pending_, call);
            if (pending_.empty()) callsPending_.Reset();
        }
        AfGuard([&] { call->Run(); });
        call->Done.Set();
    }

    // ---- TAfGuiCalls ----
    bool RunOnGuiThread(std::function<void()> call, DWORD limitMs) override {
        if (IsGuiThread()) {
            AfGuard(call);
            return true;
        }
        return Carry(std::move(call), limitMs);
    }
    bool IsGuiThread() const override { return QThread::currentThread() == guiThread_; }
    afp::TKernelEvent& CallsPending() override { return callsPending_; }
    void ServePendingCalls() override {
        for (;;) {
            std::shared_ptr<TGuiCall> next;
            {
                std::lock_guard guard(pendingLock_);
                if (pending_.empty()) return;
                next = pending_.front();
            }
            Serve(next);
        }
    }
    void ShowApplicationError(const std::string& text) override {
        RunOnGuiThread(
            [text] {
                QMessageBox box(QMessageBox::Critical, "Application Error", QString::fromLocal8Bit(text.c_str()),
                                QMessageBox::Ok);
                box.exec();
            },
            INFINITE);
    }

private:
    QObject* receiver_;  // lives in the GUI thread until the process ends
    QThread* guiThread_;
    std::mutex pendingLock_;
    std::deque<std::shared_ptr<TGuiCall>> pending_;
    afp::TKernelEvent callsPending_{true};
};

// Created by the first registration, on the thread that makes it; kept until
// the process ends, since worker threads may still hold calls to it.
std::atomic<TSyncService*> service{nullptr};
std::mutex startLock;

TSyncService& Service() {
    if (TSyncService* running = service.load()) return *running;
    std::lock_guard guard(startLock);
    if (!service.load()) {
        auto* started = new TSyncService;
        service.store(started);
        AfSetGuiCalls(started);
    }
    return *service.load();
}

}  // namespace

DWORD RegisterSyncHandler(TAfSyncHandler handler) {
    TSyncService& sync = Service();
    std::lock_guard guard(sync.tableLock);
    for (TSyncSlot& slot : sync.table) {
        if (slot.Handler) continue;
        if (++sync.lastId == 0) ++sync.lastId;
        slot = TSyncSlot{false, std::move(handler), sync.lastId};
        return slot.Id;
    }
    return 0;
}

bool UnregisterSyncHandler(DWORD id) {
    TSyncService& sync = Service();
    std::lock_guard guard(sync.tableLock);
    TSyncSlot* slot = sync.FindLocked(id);
    if (!slot) return false;
    *slot = TSyncSlot{};
    return true;
}

bool EnableSyncHandler(DWORD id, bool enabled) {
    TSyncService& sync = Service();
    std::lock_guard guard(sync.tableLock);
    TSyncSlot* slot = sync.FindLocked(id);
    if (!slot || !slot->Handler) return false;
    slot->Enabled = enabled;
    return true;
}

bool CallSyncHandler(DWORD id, DWORD limitMs) {
    TSyncService* sync = service.load();
    if (!sync) return false;
    auto live = [sync, id] {
        std::lock_guard guard(sync->tableLock);
        const TSyncSlot* slot = sync->FindLocked(id);
        return slot && slot->Handler && slot->Enabled;
    };
    if (!live()) return false;
    sync->RunOnGuiThread(
        [sync, id] {
            TAfSyncHandler handler;
            {
                std::lock_guard guard(sync->tableLock);
                const TSyncSlot* slot = sync->FindLocked(id);
                if (!slot || !slot->Enabled || !slot->Handler) return;
                handler = slot->Handler;
            }
            handler();
        },
        limitMs);
    return live();
}

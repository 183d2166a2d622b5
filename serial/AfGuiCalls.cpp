#include "serial/AfGuiCalls.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TAfGuiCalls*> installed{nullptr};
}

void AfSetGuiCalls(TAfGuiCalls* calls) { installed.store(calls); }

TAfGuiCalls* AfGuiCalls() { return installed.load(); }

void AfWaitForThreadEnd(afp::TKernelEvent& ended) {
    TAfGuiCalls* calls = AfGuiCalls();
    if (!calls || !calls->IsGuiThread()) {
        afp::WaitForEvent(ended, INFINITE);
        return;
    }
    for (;;) {
        const DWORD woken = afp::WaitForAny({&ended, &calls->CallsPending()}, INFINITE);
        if (woken == WAIT_OBJECT_0) return;
        calls->ServePendingCalls();
    }
}

void AfShowApplicationError(const std::string& text) {
    if (TAfGuiCalls* calls = AfGuiCalls()) {
        calls->ShowApplicationError(text);
        return;
    }
    std::fprintf(stderr, "Application Error: %s\n", text.c_str());
}

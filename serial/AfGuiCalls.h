#pragma once
// How the serial engine reaches the GUI thread without knowing the toolkit.
//
// Worker threads sometimes need the GUI thread to run something and wait for
// it (an event delivery, an error box). The toolkit layer installs one
// TAfGuiCalls; the engine uses it for two things:
//  - RunOnGuiThread: have the GUI thread run a call, waiting up to a limit;
//  - thread waits on the GUI thread: while the GUI thread waits for a worker
//    to end (closing a port), it keeps serving such calls, so a worker caught
//    in the middle of one is answered and can end (AfWaitForThreadEnd).
// Without an installed TAfGuiCalls (engine tests, tools), calls run on the
// calling thread and thread waits are plain waits.

#include "platform/KernelObjects.h"

#include <functional>
#include <string>

class TAfGuiCalls {
public:
    virtual ~TAfGuiCalls() = default;
    // Runs call on the GUI thread and waits until it has run or limitMs passed.
    // A call that ran out of time is not withdrawn: it still runs later.
    // Returns true when it ran within the limit.
    virtual bool RunOnGuiThread(std::function<void()> call, DWORD limitMs) = 0;
    virtual bool IsGuiThread() const = 0;
    // Signalled while calls are waiting to be served; ServePendingCalls runs
    // them (on the GUI thread).
    virtual afp::TKernelEvent& CallsPending() = 0;
    virtual void ServePendingCalls() = 0;
    // Shows the "Application Error" box on the GUI thread and returns once
    // the user has closed it.
    virtual void ShowApplicationError(const std::string& text) = 0;
};

// The installed instance, or null. Installed once by the GUI layer at start.
void AfSetGuiCalls(TAfGuiCalls* calls);
TAfGuiCalls* AfGuiCalls();

// Shows an error that a worker thread cannot hand to anyone else: in the
// application's "Application Error" box, or on stderr without a GUI.
void AfShowApplicationError(const std::string& text);

// Waits until ended is signalled. On the GUI thread it keeps serving the
// calls that workers make to it meanwhile.
void AfWaitForThreadEnd(afp::TKernelEvent& ended);

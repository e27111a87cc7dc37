// The busy animation over the host's main window. Calls nest: the animation runs from the first
// ActiveShowAvi until the matching last DeactiveShowAvi. It keeps moving during a synchronous server call
// because the connection's wait loop lets timers and painting through (see InstallWaitHook in Forms.h).
#pragma once

class QWidget;

namespace Showavi {

void ActiveShowAvi();
void DeactiveShowAvi();  // an unmatched call does nothing

// Stops the animation when it leaves scope unless Release() was called: the failure paths of a handler
// stop the animation first without repeating the call on every path.
class TBusy {
public:
    TBusy() { ActiveShowAvi(); }
    ~TBusy() { Release(); }
    void Release() {
        if (active_) DeactiveShowAvi();
        active_ = false;
    }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;

private:
    bool active_ = true;
};

// While a box or dialog is up the animation is hidden, as the user is being told or asked something, not
// kept waiting; it comes back when the last one goes if it is still running. Calls nest.
void Suspend();
void Resume();

// The window the animation covers; without one only the counters move.
void SetHostWindow(QWidget* window);

// --- observation (tests, diagnostics)
int Depth();        // nesting level now; 0 when stopped
int Activations();  // times the animation started (depth went from 0 to 1) since the last reset
int Frames();       // frames painted since the last reset: proves the animation moved
void ResetCounters();
QWidget* Overlay();  // the animation widget, null without a host window

}  // namespace Showavi

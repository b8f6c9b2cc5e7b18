#pragma once
// The social-network client's app events, as far as the application uses
// them: activation on becoming active, and the time-spent data that follows
// the application's life (suspended when it leaves the foreground or ends).
#include <memory>

class PZSDKAppEvents {
public:
    // Main thread only; on another thread it reports the fault and does nothing.
    // Restores the time-spent data as a resume.
    static void activateApp();

    // Starts observing the application's life-cycle notifications (once).
    static void startObservingLifeCycle();
    // Stops observing (tests).
    static void stopObservingLifeCycle();
};

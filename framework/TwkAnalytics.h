#pragma once
// The framework's start of crash reporting and analytics: the Info.plist keys
// of the services ("PelkorKey", "TLYKey", "ZendralKey"), an alert for each
// missing one, the crash manager started to send reports without asking, and
// the analytics tracker made on a background queue.
#include <memory>

class PKRPelkorManagerDelegate;

class TwkAnalytics {
public:
    static constexpr const char* kPelkorKey = "PelkorKey";
    static constexpr const char* kTLYKey = "TLYKey";
    static constexpr const char* kZendralKey = "ZendralKey";
    static constexpr const char* kMissingKeyBody = "I really hope this did NOT get released publicly...";
    // The crash-report service's base URL, when set: another service than
    // the crash-collection endpoint (a user's own, or a test's).
    static constexpr const char* kCrashURLEnvironmentVariable = "QUENMIRA_CRASH_URL";
    // A crash this soon after the start of the last launch counts as a crash on launch.
    static constexpr double kLaunchCrashInterval = 5.0;

    static std::shared_ptr<TwkAnalytics> sharedInstance();

    // Crash reporting: the shared pelkor manager configured with "PelkorKey"
    // (an alert when it is missing; start-up goes on) and `delegate`, its
    // crash manager set to send without asking, then started.
    static void startWithPelkorDelegate(PKRPelkorManagerDelegate* delegate);
    // The last launch crashed, and did so less than 5 s after its start. A
    // crash of unknown time (an app kill, a report without a start time) does not count.
    static bool didCrashInLastSessionOnStartup();
    // The rule above for a session that did or did not crash, `interval`
    // seconds after its start (-1 when unknown).
    static bool isCrashOnStartup(bool didCrash, double interval);
    // Queues startAnalyticsInBlock on the background-priority global queue.
    static void startAnalyticsStuff();
    // As the process ends: lets "TLYThread" finish the work handed to it (at
    // most 10 s: a store or connection that hangs must not keep the process)
    // and stops it, before the static objects that work reads, and the
    // sandbox it writes to, go away.
    static void finishAnalyticsStuff();
    // Makes the tracker for "TLYKey" (the first tracker becomes the default
    // one) and checks that "ZendralKey" is there; alerts for each missing key.
    static void startAnalyticsInBlock();
};

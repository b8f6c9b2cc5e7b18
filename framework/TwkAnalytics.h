#pragma once
// The framework's start of crash reporting and analytics: the Info.plist keys
// of the services ("PelkorKey", "TLYKey", "ZendralKey"), an alert for each
// missing one, and the analytics tracker made on a background queue.
#include <memory>

class PKRPelkorManagerDelegate;

class TwkAnalytics {
public:
    static constexpr const char* kPelkorKey = "PelkorKey";
    static constexpr const char* kTLYKey = "TLYKey";
    static constexpr const char* kZendralKey = "ZendralKey";
    static constexpr const char* kMissingKeyBody = "I really hope this did NOT get released publicly...";

    static std::shared_ptr<TwkAnalytics> sharedInstance();

    // Crash reporting: checks the application identifier ("PelkorKey") and
    // alerts when it is missing. Start-up goes on either way.
    static void startWithPelkorDelegate(PKRPelkorManagerDelegate* delegate);
    // Queues startAnalyticsInBlock on the background-priority global queue.
    static void startAnalyticsStuff();
    // Makes the tracker for "TLYKey" (the first tracker becomes the default
    // one) and checks that "ZendralKey" is there; alerts for each missing key.
    static void startAnalyticsInBlock();
};

#pragma once
// Watches whether the collection host can be reached and tells its delegate
// when that changes. The platform functions it uses come from a replaceable
// table, so another implementation (or a test's) can stand in.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/Reachability.h"  // the flag bits the callback carries

namespace platform::foundation {
class RunLoop;
}

class TLYReachabilityChecker;

// Status: 0 unknown, 1 not reachable, 2 reachable over a local network,
// 3 reachable over the mobile network.
enum : int32_t {
    kTLYReachabilityUnknown = 0,
    kTLYReachabilityNotReachable = 1,
    kTLYReachabilityViaLocalNetwork = 2,
    kTLYReachabilityViaMobileNetwork = 3,
};

struct TLYReachabilityApi {
    using Target = void*;
    using Callback = void (*)(Target target, uint32_t flags, void* info);
    Target (*createWithName)(const char* host);
    bool (*setCallback)(Target target, Callback callback, void* info);
    bool (*scheduleWithRunLoop)(Target target, platform::foundation::RunLoop* loop);
    void (*unscheduleFromRunLoop)(Target target, platform::foundation::RunLoop* loop);
    void (*release)(Target target);
};

// The platform's functions.
const TLYReachabilityApi* TLYDefaultReachabilityApi();

class TLYReachabilityDelegate {
public:
    virtual ~TLYReachabilityDelegate() = default;
    virtual void reachabilityStatusChanged(TLYReachabilityChecker&, int32_t /*status*/) {}
};

class TLYReachabilityChecker {
public:
    // Null (with an error line) for an empty host.
    static std::unique_ptr<TLYReachabilityChecker> initWithDelegate(TLYReachabilityDelegate* delegate,
                                                                    const std::string& host);
    TLYReachabilityChecker(TLYReachabilityDelegate* delegate, std::string host);
    ~TLYReachabilityChecker();
    TLYReachabilityChecker(const TLYReachabilityChecker&) = delete;
    TLYReachabilityChecker& operator=(const TLYReachabilityChecker&) = delete;

    bool start();  // on the main thread; callbacks arrive on the main run loop
    void stop();
    bool isActive() const { return reachability_ != nullptr; }
    int32_t reachabilityStatus() const { return reachabilityStatus_; }
    const std::string& host() const { return host_; }
    TLYReachabilityDelegate* delegate() const { return delegate_; }
    void setDelegate(TLYReachabilityDelegate* delegate) { delegate_ = delegate; }
    const TLYReachabilityApi* reachabilityApi() const { return reachabilityApi_; }
    // Refused (with an error line) while running.
    void setReachabilityApi(const TLYReachabilityApi* api);

    static int32_t statusForFlags(uint32_t flags);
    void reachabilityFlagsChanged(uint32_t flags);

private:
    int32_t reachabilityStatus_ = kTLYReachabilityUnknown;
    const TLYReachabilityApi* reachabilityApi_;
    TLYReachabilityApi::Target reachability_ = nullptr;
    std::string host_;
    TLYReachabilityDelegate* delegate_ = nullptr;
};

#include "analytics/TLYReachabilityChecker.h"

#include "analytics/TLYLog.h"
#include "platform/foundation/RunLoop.h"

namespace {

void flagsCallback(TLYReachabilityApi::Target, uint32_t flags, void* info) {
    if (info) static_cast<TLYReachabilityChecker*>(info)->reachabilityFlagsChanged(flags);
}

}  // namespace

std::unique_ptr<TLYReachabilityChecker> TLYReachabilityChecker::initWithDelegate(TLYReachabilityDelegate* delegate,
                                                                                 const std::string& host) {
    if (host.empty()) {
        TLY_ERROR("-[TLYReachabilityChecker initWithDelegate:withHost:]", "Invalid host specified.");
        return nullptr;
    }
    return std::make_unique<TLYReachabilityChecker>(delegate, host);
}

TLYReachabilityChecker::TLYReachabilityChecker(TLYReachabilityDelegate* delegate, std::string host)
    : reachabilityApi_(TLYDefaultReachabilityApi()), host_(std::move(host)), delegate_(delegate) {}

TLYReachabilityChecker::~TLYReachabilityChecker() { stop(); }

void TLYReachabilityChecker::setReachabilityApi(const TLYReachabilityApi* api) {
    if (reachability_) {
        TLY_ERROR("-[TLYReachabilityChecker setReachabilityApi:]",
                  "Cannot change reachability API while reachability running; call stop first.");
        return;
    }
    reachabilityApi_ = api ? api : TLYDefaultReachabilityApi();
}

bool TLYReachabilityChecker::start() {
    if (reachability_) return true;
    TLYReachabilityApi::Target target = reachabilityApi_->createWithName(host_.c_str());
    if (!target) return false;
    reachability_ = target;
    if (reachabilityApi_->setCallback(target, flagsCallback, this) &&
        reachabilityApi_->scheduleWithRunLoop(target, &platform::foundation::RunLoop::main()))
        return true;
    reachabilityApi_->release(target);
    reachability_ = nullptr;
    return false;
}

void TLYReachabilityChecker::stop() {
    if (!reachability_) return;
    reachabilityStatus_ = kTLYReachabilityUnknown;
    reachabilityApi_->unscheduleFromRunLoop(reachability_, &platform::foundation::RunLoop::main());
    reachabilityApi_->release(reachability_);
    reachability_ = nullptr;
}

int32_t TLYReachabilityChecker::statusForFlags(uint32_t flags) {
    using namespace platform::net;
    bool reachable = flags & kReachabilityFlagsReachable;
    bool needsConnection = flags & kReachabilityFlagsConnectionRequired;
    bool automatic = (flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand)) &&
                     !(flags & kReachabilityFlagsInterventionRequired);
    if (!reachable || (needsConnection && !automatic)) return kTLYReachabilityNotReachable;
    return (flags & kReachabilityFlagsIsWWAN) ? kTLYReachabilityViaMobileNetwork : kTLYReachabilityViaLocalNetwork;
}

void TLYReachabilityChecker::reachabilityFlagsChanged(uint32_t flags) {
    TLY_INFO("-[TLYReachabilityChecker reachabilityFlagsChanged:]", "Reachability flags update: %#08X", flags);
    int32_t status = statusForFlags(flags);
    if (status == reachabilityStatus_) return;
    reachabilityStatus_ = status;
    if (delegate_) delegate_->reachabilityStatusChanged(*this, status);
}

// The platform's reachability functions over its reachability targets.
namespace {

using platform::net::Reachability;

struct TargetBox {
    std::shared_ptr<Reachability> target;
};

TLYReachabilityApi::Target createWithName(const char* host) {
    auto target = Reachability::createWithName(host ? host : "");
    return target ? new TargetBox{std::move(target)} : nullptr;
}

bool setCallback(TLYReachabilityApi::Target target, TLYReachabilityApi::Callback callback, void* info) {
    auto* box = static_cast<TargetBox*>(target);
    if (!callback) return box->target->setCallback(nullptr);
    return box->target->setCallback(
        [box, callback, info](Reachability&, uint32_t flags) { callback(box, flags, info); });
}

bool scheduleWithRunLoop(TLYReachabilityApi::Target target, platform::foundation::RunLoop* loop) {
    return loop && static_cast<TargetBox*>(target)->target->scheduleWithRunLoop(*loop);
}

void unscheduleFromRunLoop(TLYReachabilityApi::Target target, platform::foundation::RunLoop* loop) {
    if (loop) static_cast<TargetBox*>(target)->target->unscheduleFromRunLoop(*loop);
}

void release(TLYReachabilityApi::Target target) {
    auto* box = static_cast<TargetBox*>(target);
    box->target->setCallback(nullptr);
    delete box;
}

const TLYReachabilityApi kPlatformReachabilityApi = {createWithName, setCallback, scheduleWithRunLoop,
                                                     unscheduleFromRunLoop, release};

}  // namespace

const TLYReachabilityApi* TLYDefaultReachabilityApi() { return &kPlatformReachabilityApi; }

#include "platform/net/Reachability.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"

namespace platform::net {

namespace pf = platform::foundation;

struct Reachability::State {
    std::mutex mutex;
    Callback callback;
    pf::RunLoop* loop = nullptr;
    std::optional<uint32_t> lastDelivered;
    uint64_t generation = 0;  // bumped on every (un)schedule, so stale answers are dropped
};

namespace {

std::mutex gMutex;
Reachability::FlagsProvider gProvider;
std::vector<std::weak_ptr<Reachability>> gScheduled;

bool isLoopback(const sockaddr* addr) {
    if (addr->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr) >> 24) == 127;
    if (addr->sa_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    return false;
}

bool hasExternalInterface() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6)) continue;
        const unsigned flags = i->ifa_flags;
        found = (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

std::optional<uint32_t> Reachability::systemFlags(const std::string& host) {
    if (host.empty()) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return 0u;  // no such name now
    bool allLoopback = true;
    for (addrinfo* a = result; a; a = a->ai_next) allLoopback = allLoopback && isLoopback(a->ai_addr);
    freeaddrinfo(result);
    if (allLoopback) return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    return hasExternalInterface() ? uint32_t(kReachabilityFlagsReachable) : 0u;
}

Reachability::Reachability(std::string host) : host_(std::move(host)), state_(std::make_shared<State>()) {}

Reachability::~Reachability() {
    std::lock_guard<std::mutex> lock(gMutex);
    std::erase_if(gScheduled, [](const std::weak_ptr<Reachability>& w) { return w.expired(); });
}

std::shared_ptr<Reachability> Reachability::createWithName(const std::string& host) {
    if (host.empty()) return nullptr;
    return std::make_shared<Reachability>(host);
}

bool Reachability::getFlags(uint32_t* flags) const {
    FlagsProvider provider;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        provider = gProvider;
    }
    const std::optional<uint32_t> answer = provider ? provider(host_) : systemFlags(host_);
    if (!answer) return false;
    if (flags) *flags = *answer;
    return true;
}

bool Reachability::setCallback(Callback callback) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->callback = std::move(callback);
    return true;
}

bool Reachability::scheduleWithRunLoop(pf::RunLoop& loop) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->loop) return false;
        state_->loop = &loop;
        state_->lastDelivered.reset();
        ++state_->generation;
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gScheduled.push_back(weak_from_this());
    }
    evaluate();
    return true;
}

bool Reachability::unscheduleFromRunLoop(pf::RunLoop& loop) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->loop != &loop) return false;
        state_->loop = nullptr;
        ++state_->generation;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    std::erase_if(gScheduled, [this](const std::weak_ptr<Reachability>& w) {
        auto p = w.lock();
        return !p || p.get() == this;
    });
    return true;
}

// Reads the flags off the calling thread (name resolution may block) and calls
// back on the scheduled loop when they differ from the last ones delivered.
void Reachability::evaluate() {
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->loop) return;
        generation = state_->generation;
    }
    std::weak_ptr<Reachability> weak = weak_from_this();
    pf::dispatch::globalQueue(pf::dispatch::Priority::Default).async([weak, generation] {
        auto self = weak.lock();
        if (!self) return;
        uint32_t flags = 0;
        if (!self->getFlags(&flags)) return;
        std::lock_guard<std::mutex> lock(self->state_->mutex);
        if (!self->state_->loop || self->state_->generation != generation) return;
        self->state_->loop->perform([weak, generation, flags] {
            auto target = weak.lock();
            if (!target) return;
            Callback callback;
            {
                std::lock_guard<std::mutex> lock(target->state_->mutex);
                if (!target->state_->loop || target->state_->generation != generation) return;
                if (target->state_->lastDelivered == flags) return;
                target->state_->lastDelivered = flags;
                callback = target->state_->callback;
            }
            if (callback) callback(*target, flags);
        });
    });
}

void Reachability::setFlagsProvider(FlagsProvider provider) {
    std::lock_guard<std::mutex> lock(gMutex);
    gProvider = std::move(provider);
}

void Reachability::flagsMayHaveChanged() {
    std::vector<std::shared_ptr<Reachability>> targets;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (auto& w : gScheduled)
            if (auto p = w.lock()) targets.push_back(std::move(p));
    }
    for (auto& t : targets) t->evaluate();
}

}  // namespace platform::net

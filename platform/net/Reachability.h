#pragma once
// Whether a host can be reached, in the platform's reachability flags: from the
// machine's network interfaces and the host name's resolution. Tests replace the
// answer with setFlagsProvider() and announce a change with flagsMayHaveChanged().
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::foundation {
class RunLoop;
}

namespace platform::net {

enum ReachabilityFlags : uint32_t {
    kReachabilityFlagsTransientConnection = 1u << 0,
    kReachabilityFlagsReachable = 1u << 1,
    kReachabilityFlagsConnectionRequired = 1u << 2,
    kReachabilityFlagsConnectionOnTraffic = 1u << 3,
    kReachabilityFlagsInterventionRequired = 1u << 4,
    kReachabilityFlagsConnectionOnDemand = 1u << 5,
    kReachabilityFlagsIsLocalAddress = 1u << 16,
    kReachabilityFlagsIsDirect = 1u << 17,
    kReachabilityFlagsIsWWAN = 1u << 18,
};

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Callback = std::function<void(Reachability& target, uint32_t flags)>;
    // Answers the flags for a host name, or nullopt when they cannot be read.
    using FlagsProvider = std::function<std::optional<uint32_t>(const std::string& host)>;

    // A target for a host name; null for an empty name.
    static std::shared_ptr<Reachability> createWithName(const std::string& host);
    ~Reachability();

    const std::string& host() const { return host_; }
    // Reads the flags now (may block on name resolution). False when they cannot be read.
    bool getFlags(uint32_t* flags) const;
    // The callback runs on the scheduled run loop: once after scheduling, and
    // whenever the flags change afterwards. Answers success.
    bool setCallback(Callback callback);
    bool scheduleWithRunLoop(foundation::RunLoop& loop);
    bool unscheduleFromRunLoop(foundation::RunLoop& loop);

    // Replaces the machine's answer for every target (null restores it).
    static void setFlagsProvider(FlagsProvider provider);
    // Re-reads the flags of every scheduled target and calls back those whose
    // flags changed.
    static void flagsMayHaveChanged();
    // The machine's answer: reachable when the name resolves and either every
    // address is a loopback one (local, direct) or an interface other than
    // loopback is up with an address. Never the mobile network.
    static std::optional<uint32_t> systemFlags(const std::string& host);

    explicit Reachability(std::string host);

private:
    void evaluate();
    std::string host_;
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::net

#include "framework/ConnectionCheck.h"

#include <cstdint>
#include <optional>

#include "platform/net/Reachability.h"

namespace net = platform::net;

namespace {

std::optional<uint32_t> probeFlags() {
    auto target = net::Reachability::createWithName(ConnectionCheck::kProbeHost);
    uint32_t flags = 0;
    if (!target || !target->getFlags(&flags)) return std::nullopt;
    return flags;
}

}  // namespace

bool ConnectionCheck::hasAnyConnection() {
    const auto flags = probeFlags();
    return flags && (*flags & net::kReachabilityFlagsReachable);
}

bool ConnectionCheck::hasWiFiConnection() {
    // No network at all is not Wi-Fi: the route must exist before its kind counts.
    const auto flags = probeFlags();
    return flags && (*flags & net::kReachabilityFlagsReachable) && !(*flags & net::kReachabilityFlagsIsWWAN);
}

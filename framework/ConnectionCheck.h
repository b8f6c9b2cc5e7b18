#pragma once
// Whether the device has a network route now, and whether that route is not
// the mobile network: the platform's reachability flags of one public host,
// read synchronously; nothing is sent.
class ConnectionCheck {
public:
    static constexpr const char* kProbeHost = "www.example.com";

    static bool hasAnyConnection();
    // Reachable, and not over the mobile network.
    static bool hasWiFiConnection();
};

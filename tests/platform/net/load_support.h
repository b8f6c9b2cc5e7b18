#pragma once
// One synchronous load and everything it gives back, for the loading tests.
#include <optional>

#include "platform/net/URLConnection.h"

namespace nettest {

struct Loaded {
    std::optional<platform::net::Data> data;
    platform::net::URLResponse response;
    platform::foundation::Error error;
};

inline Loaded load(const platform::net::URLRequest& request) {
    Loaded l;
    l.data = platform::net::URLConnection::sendSynchronousRequest(request, &l.response, &l.error);
    return l;
}

}  // namespace nettest

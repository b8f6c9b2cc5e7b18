#pragma once
// Named notifications with an optional sender filter. An observer lives as long
// as its token: destroying the token unregisters it, and no destroyed observer
// is ever called (removal waits for a delivery in progress on another thread).
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace platform::foundation {

namespace dispatch {
class Queue;
}

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, used only for identity
    Value userInfo;
};

class ObserverToken {
public:
    virtual ~ObserverToken() = default;
};
using Observer = std::unique_ptr<ObserverToken>;

class NotificationCenter {
public:
    static NotificationCenter& defaultCenter();
    NotificationCenter();
    ~NotificationCenter();

    // `name` empty observes every name; `object` null observes every sender.
    // Delivery happens on the posting thread, or on `queue` when given.
    [[nodiscard]] Observer addObserver(const std::string& name, const void* object,
                                       std::function<void(const Notification&)> fn, dispatch::Queue* queue = nullptr);
    void post(const std::string& name, const void* object = nullptr, Value userInfo = Value());
    void post(const Notification& n);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform::foundation

#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/foundation/Dispatch.h"

namespace platform::foundation {

namespace {

struct Entry {
    std::string name;
    const void* object;
    std::function<void(const Notification&)> fn;
    dispatch::Queue* queue;
    // Held for the length of each delivery; removal takes it too, so once a token
    // is gone its observer is never running nor called again. Recursive so an
    // observer may drop its own token, or post, from inside its callback.
    std::recursive_mutex calling;
    bool alive = true;
};

void deliver(const std::shared_ptr<Entry>& e, const Notification& n) {
    std::lock_guard lock(e->calling);
    if (e->alive) e->fn(n);
}

}  // namespace

struct NotificationCenter::Impl {
    std::mutex m;
    std::vector<std::shared_ptr<Entry>> entries;
};

namespace {

class Token final : public ObserverToken {
public:
    Token(std::weak_ptr<NotificationCenter::Impl> center, std::shared_ptr<Entry> entry)
        : center_(std::move(center)), entry_(std::move(entry)) {}
    ~Token() override {
        if (auto c = center_.lock()) {
            std::lock_guard lock(c->m);
            auto& v = c->entries;
            v.erase(std::remove(v.begin(), v.end(), entry_), v.end());
        }
        std::lock_guard lock(entry_->calling);  // waits for a delivery in progress
        entry_->alive = false;
    }

private:
    std::weak_ptr<NotificationCenter::Impl> center_;
    std::shared_ptr<Entry> entry_;
};

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* c = new NotificationCenter;  // outlives every observer
    return *c;
}

NotificationCenter::NotificationCenter() : impl_(std::make_shared<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

Observer NotificationCenter::addObserver(const std::string& name, const void* object,
                                         std::function<void(const Notification&)> fn, dispatch::Queue* queue) {
    auto e = std::make_shared<Entry>();
    e->name = name;
    e->object = object;
    e->fn = std::move(fn);
    e->queue = queue;
    {
        std::lock_guard lock(impl_->m);
        impl_->entries.push_back(e);
    }
    return std::make_unique<Token>(impl_, std::move(e));
}

void NotificationCenter::post(const std::string& name, const void* object, Value userInfo) {
    post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& n) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(impl_->m);
        for (auto& e : impl_->entries)
            if ((e->name.empty() || e->name == n.name) && (!e->object || e->object == n.object)) targets.push_back(e);
    }
    for (auto& e : targets) {
        if (e->queue) e->queue->async([e, n] { deliver(e, n); });
        else deliver(e, n);
    }
}

}  // namespace platform::foundation

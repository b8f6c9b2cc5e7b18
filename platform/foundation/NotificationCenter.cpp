#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/foundation/Dispatch.h"

namespace platform::foundation {

namespace {

struct Entry {
    std::string name;
    const void* object;
    std::function<void(const Notification&)> fn;
    dispatch::Queue* queue;

    std::mutex m;
    std::condition_variable idle;
    bool alive = true;
    std::multiset<std::thread::id> delivering;  // threads inside fn right now

    void deliver(const Notification& n) {
        auto self = std::this_thread::get_id();
        {
            std::lock_guard lock(m);
            if (!alive) return;
            delivering.insert(self);
        }
        struct Done {
            Entry* e;
            std::thread::id self;
            ~Done() {
                std::lock_guard lock(e->m);
                e->delivering.erase(e->delivering.find(self));
                e->idle.notify_all();
            }
        } done{this, self};
        fn(n);
    }

    // After this returns fn is neither running on another thread nor called
    // again. Deliveries on the calling thread (an observer dropping its own
    // token) are not waited for: they are up the stack.
    void retire() {
        auto self = std::this_thread::get_id();
        std::unique_lock lock(m);
        alive = false;
        idle.wait(lock, [&] { return delivering.size() == delivering.count(self); });
    }
};

void deliver(const std::shared_ptr<Entry>& e, const Notification& n) { e->deliver(n); }

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
        entry_->retire();
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
        if (e->queue)
            e->queue->async([e, n] { deliver(e, n); });
        else
            deliver(e, n);
    }
}

}  // namespace platform::foundation

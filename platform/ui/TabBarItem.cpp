#include "platform/ui/TabBarItem.h"

#include <map>

#include "platform/ui/ViewController.h"

namespace platform::ui {

namespace {
struct Entry {
    std::weak_ptr<const ViewController> owner;  // tells a live controller from a new one at the same address
    std::shared_ptr<TabBarItem> item;
};
std::map<const ViewController*, Entry>& items() {
    static std::map<const ViewController*, Entry> m;
    return m;
}
void purge() {
    auto& m = items();
    for (auto it = m.begin(); it != m.end();) it = it->second.owner.expired() ? m.erase(it) : std::next(it);
}
}  // namespace

std::shared_ptr<TabBarItem> tabBarItem(const ViewController& controller) {
    auto& m = items();
    auto it = m.find(&controller);
    if (it != m.end() && it->second.owner.lock().get() == &controller) return it->second.item;
    auto item = std::make_shared<TabBarItem>();
    setTabBarItem(controller, item);
    return item;
}

void setTabBarItem(const ViewController& controller, std::shared_ptr<TabBarItem> item) {
    purge();
    items()[&controller] = Entry{controller.weak_from_this(), std::move(item)};
}

}  // namespace platform::ui

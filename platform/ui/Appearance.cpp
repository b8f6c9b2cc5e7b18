#include "platform/ui/Appearance.h"

namespace platform::ui {

namespace {
std::map<std::string, Appearance>& proxies() {
    static std::map<std::string, Appearance> p;
    return p;
}
}  // namespace

Appearance& Appearance::forClass(const std::string& className) { return proxies()[className]; }

void Appearance::resetAll() { proxies().clear(); }

std::optional<TextAttributes> Appearance::titleTextAttributes(unsigned state) const {
    auto it = titleAttributes_.find(state);
    if (it == titleAttributes_.end()) return std::nullopt;
    return it->second;
}

void Appearance::setTitleTextAttributes(const TextAttributes& attributes, unsigned state) {
    titleAttributes_[state] = attributes;
}

}  // namespace platform::ui

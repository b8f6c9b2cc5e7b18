#include "platform/ui/InterfaceProperties.h"

#include <algorithm>

namespace platform::ui {

const InterfaceProperties::Property* InterfaceProperties::find(std::string_view key) const {
    auto it = std::find_if(properties_.begin(), properties_.end(), [&](const Property& p) { return p.key == key; });
    return it == properties_.end() ? nullptr : &*it;
}

void InterfaceProperties::add(Property property) {
    auto it =
        std::find_if(properties_.begin(), properties_.end(), [&](const Property& p) { return p.key == property.key; });
    if (it != properties_.end())
        *it = std::move(property);
    else
        properties_.push_back(std::move(property));
}

}  // namespace platform::ui

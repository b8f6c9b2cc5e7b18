#pragma once
// The properties a view class offers to interface files: a small table of
// typed setters that each class declares beside itself, in its override of
// View::interfaceProperties(). A table starts from the base class's, so a
// subclass takes every property of the classes it derives from; a key it
// declares again replaces the base's setter in the base's place.
//
// The loader reads a file's values by the type a setter takes (colours,
// fonts, images, names of enum values; resources/README.md lists them) and
// sets them in the table's order, whatever the file's order: a slider
// declares its range before its value, so the value is not clamped to the
// default range.
//
//     const InterfaceProperties& Slider::interfaceProperties() const {
//         static const InterfaceProperties table =
//             InterfaceProperties::Of<Slider>(Control::interfaceProperties())
//                 .add<double>("minimumValue", [](Slider& s, double v) { s.setMinimumValue(float(v)); })
//                 .add<bool>("continuous", &Slider::setContinuous);
//         return table;
//     }
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"
#include "platform/graphics/Geometry.h"
#include "platform/ui/View.h"

namespace platform::graphics {
class Image;
}

namespace platform::ui {

class InterfaceProperties {
public:
    // A value as the loader read it; its type says how the loader reads it.
    using TypedValue =
        std::variant<bool, double, int64_t, std::string, graphics::Color, graphics::Font,
                     std::shared_ptr<graphics::Image>, graphics::Rect, graphics::Size, graphics::EdgeInsets,
                     AutoresizingMask, ContentMode, graphics::TextAlignment, graphics::LineBreakMode>;

    struct Property {
        std::string key;
        size_t type;  // the index of the value's type in TypedValue
        std::function<void(View&, const TypedValue&)> set;
    };

    template <class V>
    class Of;

    // The property named `key`, or null.
    const Property* find(std::string_view key) const;
    // In the order the loader sets them.
    const std::vector<Property>& properties() const { return properties_; }

private:
    template <class T, class... Ts>
    static constexpr size_t typeIndex(std::variant<Ts...>*) {
        size_t i = 0;
        const bool found = ((std::is_same_v<T, Ts> || (++i, false)) || ...);
        return found ? i : sizeof...(Ts);
    }

    void add(Property property);

    std::vector<Property> properties_;
};

// Builds the table of class V.
template <class V>
class InterfaceProperties::Of {
public:
    explicit Of(const InterfaceProperties& base = {}) : table_(base) {}

    // `set(V&, T)` sets the property `key` from a value of type T, one of TypedValue's types.
    template <class T, class F>
    Of& add(std::string key, F set) {
        constexpr size_t type = typeIndex<T>(static_cast<TypedValue*>(nullptr));
        static_assert(type < std::variant_size_v<TypedValue>, "the loader reads no value of this type");
        table_.add({std::move(key), type, [set = std::move(set)](View& view, const TypedValue& value) {
                        std::invoke(set, static_cast<V&>(view), std::get<T>(value));
                    }});
        return *this;
    }

    operator const InterfaceProperties&() const { return table_; }

private:
    InterfaceProperties table_;
};

}  // namespace platform::ui

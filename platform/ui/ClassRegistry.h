#pragma once
// Classes that interface files create by name. Views register as views; view
// controllers, application delegates and other plain objects as NibObjects.
// The platform's own classes (View, Label, Button, ImageView, Switch, Slider,
// ScrollView, Window) are always there. An application registers its own at
// start-up, before applicationMain:
//     ClassRegistry::add<MainViewController>("MainViewController");
// (a static registrar in a library file may be dropped by the linker, so the
// program names its classes explicitly).
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/ui/NibObject.h"
#include "platform/ui/View.h"

namespace platform::ui {

// What an interface file made: a view, or another object.
struct NibInstance {
    std::shared_ptr<View> view;
    std::shared_ptr<NibObject> object;
    explicit operator bool() const { return view || object; }
};

class ClassRegistry {
public:
    using Factory = std::function<NibInstance()>;

    static void registerClass(const std::string& name, Factory factory);
    template <class T>
    static void add(const std::string& name) {
        static_assert(std::is_base_of_v<View, T> || std::is_base_of_v<NibObject, T>,
                      "interface files make views and NibObjects");
        registerClass(name, [] {
            NibInstance i;
            auto p = std::make_shared<T>();
            if constexpr (std::is_base_of_v<View, T>) i.view = p;
            if constexpr (std::is_base_of_v<NibObject, T>) i.object = p;
            return i;
        });
    }
    static bool contains(const std::string& name);
    // An empty instance for an unknown name.
    static NibInstance create(const std::string& name);
};

}  // namespace platform::ui

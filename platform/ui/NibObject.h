#pragma once
// An object that interface files connect to: it declares, in one table, the
// outlets (members an interface file may fill) and actions (methods a control
// may call) it offers, since C++ has no reflection.
//
//     void declareConnections(ConnectionTable& t) override {
//         ViewController::declareConnections(t);
//         t.outlet("labelPercentage", labelPercentage_);
//         t.action("showSettings:", [this](Control& sender) { showSettings(&sender); });
//     }
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

namespace platform::ui {

class View;
class Control;
class NibObject;

class ConnectionTable {
public:
    // Sets the outlet from a made object (only checks when `apply` is false);
    // false when its type does not fit.
    using OutletSetter =
        std::function<bool(const std::shared_ptr<View>&, const std::shared_ptr<NibObject>&, bool apply)>;
    using ActionFn = std::function<void(Control& sender)>;

    template <class T>
    void outlet(const std::string& name, std::shared_ptr<T>& member) {
        outlets_[name] = [&member](const std::shared_ptr<View>& v, const std::shared_ptr<NibObject>& o, bool apply) {
            auto p = cast<T>(v, o);
            if (p && apply) member = p;
            return bool(p);
        };
    }
    template <class T>
    void outlet(const std::string& name, std::weak_ptr<T>& member) {
        outlets_[name] = [&member](const std::shared_ptr<View>& v, const std::shared_ptr<NibObject>& o, bool apply) {
            auto p = cast<T>(v, o);
            if (p && apply) member = p;
            return bool(p);
        };
    }
    // Any other way of taking the object (a setter, a raw delegate pointer).
    void outlet(const std::string& name, OutletSetter setter) { outlets_[name] = std::move(setter); }

    void action(const std::string& name, ActionFn fn) { actions_[name] = std::move(fn); }
    void action(const std::string& name, std::function<void()> fn) {
        actions_[name] = [fn = std::move(fn)](Control&) { fn(); };
    }

    const OutletSetter* findOutlet(const std::string& name) const {
        auto it = outlets_.find(name);
        return it == outlets_.end() ? nullptr : &it->second;
    }
    const ActionFn* findAction(const std::string& name) const {
        auto it = actions_.find(name);
        return it == actions_.end() ? nullptr : &it->second;
    }

private:
    template <class T>
    static std::shared_ptr<T> cast(const std::shared_ptr<View>& v, const std::shared_ptr<NibObject>& o) {
        if constexpr (std::is_base_of_v<View, T>) {
            if (v) return std::dynamic_pointer_cast<T>(v);
        }
        if constexpr (std::is_polymorphic_v<T>) {
            if (o) return std::dynamic_pointer_cast<T>(o);
        }
        return nullptr;
    }
    std::map<std::string, OutletSetter> outlets_;
    std::map<std::string, ActionFn> actions_;
};

class NibObject {
public:
    virtual ~NibObject() = default;
    virtual void declareConnections(ConnectionTable&) {}
    // After everything in the file is made, set and connected.
    virtual void awakeFromNib() {}
    // The class name used in messages.
    virtual std::string nibClassName() const;
};

}  // namespace platform::ui

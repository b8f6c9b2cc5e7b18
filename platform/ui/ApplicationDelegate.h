#pragma once
// The application's delegate: told of the launch and of every change of the
// application's state. Made by name from the main interface file (it is a
// NibObject, so the file can fill its outlets, such as its window).
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/ui/NibObject.h"

namespace platform::ui {

class Application;
class Window;

class ApplicationDelegate : public NibObject {
public:
    // `options` is a dictionary (empty for a plain launch).
    virtual bool didFinishLaunchingWithOptions(Application&, const foundation::Value& /*options*/) { return true; }
    virtual void applicationDidBecomeActive(Application&) {}
    virtual void applicationWillResignActive(Application&) {}
    virtual void applicationDidEnterBackground(Application&) {}
    virtual void applicationWillEnterForeground(Application&) {}
    virtual void applicationWillTerminate(Application&) {}
    virtual void applicationDidReceiveMemoryWarning(Application&) {}
    virtual bool openURL(Application&, const std::string& /*url*/, const std::string& /*sourceApplication*/,
                         const foundation::Value& /*annotation*/) {
        return false;
    }
    // The delegate's window, when it keeps one.
    virtual std::shared_ptr<Window> window() const { return nullptr; }
};

}  // namespace platform::ui

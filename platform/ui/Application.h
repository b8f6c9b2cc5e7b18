#pragma once
// The application: its delegate, its state and the life cycle in the
// platform's order, each step told to the delegate and posted as the
// platform's notification; URL opening; the idle timer; the key window.
// applicationMain() is the program's loop around it.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/ui/ApplicationDelegate.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

class Window;
struct LaunchConfiguration;

enum class ApplicationState { Active, Inactive, Background };

class Application : public NibObject {
public:
    static Application& shared();
    // A fresh shared application (tests).
    static void resetShared();

    Application();
    ~Application() override;

    ApplicationDelegate* delegate() const { return delegate_.get(); }
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }
    // Outlet "delegate" of the main interface file.
    void declareConnections(ConnectionTable& table) override;

    ApplicationState applicationState() const { return state_; }
    Window* keyWindow() const;

    // The life cycle. launch() sends did-finish-launching, shows the key
    // window's root controller and becomes active; the others move between
    // states and do nothing when the application is not in the state they leave.
    bool launch(const foundation::Value& options = foundation::Value::emptyDictionary());
    // The first part of launch(): the delegate's did-finish-launching and its
    // notification; answers the delegate's result.
    bool finishLaunching(const foundation::Value& options);
    void resignActive();
    void enterBackground();
    void enterForeground();  // from the background: will enter foreground, then did become active
    void becomeActive();
    // Resigns and enters the background as needed, then will terminate; stops the main run loop.
    void terminate();
    bool isTerminated() const { return terminated_; }
    void receiveMemoryWarning();

    // Turns the interface (on a tablet, when the root controller allows it).
    bool rotateTo(InterfaceOrientation orientation, double duration = 0.4);
    // Turns it a quarter turn to the left (-1) or right (+1) of where it is,
    // as a device turned in the hand.
    bool rotateBy(int direction);

    // URLs: http and https go to the desktop's browser (xdg-open, when on the
    // PATH); other schemes to the handler registered for them.
    using URLHandler = std::function<bool(const std::string& url)>;
    void registerURLHandler(const std::string& scheme, URLHandler handler);
    bool canOpenURL(const std::string& url) const;
    bool openURL(const std::string& url);

    // While disabled and the application is in the foreground, the screen
    // saver is held off.
    bool isIdleTimerDisabled() const { return idleTimerDisabled_; }
    void setIdleTimerDisabled(bool disabled);
    bool isScreenSaverHeldOff() const { return screenSaverHeldOff_; }

    StatusBarStyle statusBarStyle() const { return statusBarStyle_; }
    void setStatusBarStyle(StatusBarStyle style, bool animated = false);
    bool isStatusBarHidden() const { return statusBarHidden_; }
    void setStatusBarHidden(bool hidden, bool animated = false);

    // The browser program (tests point it elsewhere).
    void setBrowserCommand(const std::string& program) { browser_ = program; }

private:
    void applyIdleTimer();
    std::shared_ptr<ApplicationDelegate> delegate_;
    ApplicationState state_ = ApplicationState::Inactive;
    bool launched_ = false, terminated_ = false;
    bool idleTimerDisabled_ = false;
    bool screenSaverHeldOff_ = false;
    StatusBarStyle statusBarStyle_ = StatusBarStyle::Default;
    bool statusBarHidden_ = false;
    std::map<std::string, URLHandler> handlers_;
    std::string browser_ = "xdg-open";
};

// The program's loop: reads the options into a launch configuration (see
// Options.h) and runs the launch it describes. Returns the process status.
int applicationMain(int argc, char** argv);
// One launch: sets up the bundle, the sandbox, the device, the screen and the
// clock from `configuration`, loads the main interface file named by
// "NSMainNibFile" in the Info.plist (which makes the window and the
// delegate), launches, and runs the main run loop until the application is
// terminated (SIGINT, SIGTERM, SIGHUP, closing the window) or a snapshot is
// written. SIGUSR1 sends a memory warning. Returns the process status.
int applicationMain(const LaunchConfiguration& configuration);

}  // namespace platform::ui

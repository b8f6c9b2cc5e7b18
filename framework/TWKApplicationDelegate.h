#pragma once
// The framework's base of an application delegate: the standard
// initialisation every application of the family runs first at launch
// (crash reporting, the framework's colours on the platform's controls,
// analytics in the background), and the delegate's window. As the crash
// manager's delegate it can hold the application back behind a placeholder
// screen while the report of a crash on the last launch is being sent.
#include <memory>
#include <string>

#include "crash/manager/PKRCrashManager.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Geometry.h"
#include "platform/ui/ApplicationDelegate.h"

namespace platform::graphics {
class Image;
}
namespace platform::ui {
class ViewController;
}

class TWKApplicationDelegate : public platform::ui::ApplicationDelegate, public PKRPelkorManagerDelegate {
public:
    std::shared_ptr<platform::ui::Window> window() const override { return window_; }
    void setWindow(std::shared_ptr<platform::ui::Window> window) { window_ = std::move(window); }
    // Outlet "window" of the main interface file.
    void declareConnections(platform::ui::ConnectionTable& table) override;

    // What an application calls first in its launch.
    void standardTarnowickInitialization();
    void standardTarnowickInitializationWithPelkorDelegate(PKRPelkorManagerDelegate* delegate);
    void finishStandardTarnowickInitialization();
    // The framework's colours on buttons, switches, bars and the window.
    void setGlobalColorStuff();
    // For applications that set up after a crash check; the base only complains.
    virtual void setupApplication();
    // After a crash on the last launch, the placeholder screen until the
    // crash manager is done with its report; otherwise setupApplication.
    void setupApplicationAfterCheckForLaunchCrash();
    // Puts the saved root controller back and sets the application up.
    void restoreAfterCrashView();
    std::shared_ptr<platform::ui::ViewController> backupViewController() const { return backupViewController_; }

    // The crash manager's callbacks: each ends the placeholder.
    void crashManagerWillCancelSendingCrashReport(PKRCrashManager&) override;
    void crashManagerDidFailWithError(PKRCrashManager&, const platform::foundation::Error&) override;
    void crashManagerDidFinishSendingCrashReport(PKRCrashManager&) override;

    bool openURL(platform::ui::Application&, const std::string&, const std::string&,
                 const platform::foundation::Value&) override {
        return false;
    }

    // An image of `size` points (scale 1) filled with `color`, with corners of `radius`.
    static std::shared_ptr<platform::graphics::Image> imageFromColor(const platform::graphics::Color& color,
                                                                     platform::graphics::Size size, double radius);

protected:
    // Logs `called`; after a crash on launch also `settingUp`, and ends the placeholder.
    void crashManagerDone(const char* called, const char* settingUp);

    std::shared_ptr<platform::ui::Window> window_;
    std::shared_ptr<platform::ui::ViewController> backupViewController_;
};

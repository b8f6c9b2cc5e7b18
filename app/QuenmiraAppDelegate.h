#pragma once
// The application's delegate: the launch (the framework's standard
// initialisation, the battery-health default, the main screen in the window,
// the social-network client's launch hook) and the life-cycle events the main
// screen and the social-network client hear of. Made by the main interface file.
// It hands the crash manager no delegate: the framework's crashed-on-launch
// placeholder stays idle and the main screen shows at once.
#include <memory>
#include <string>

#include "framework/TWKApplicationDelegate.h"
#include "framework/TwkUtils.h"

class MainViewController;

class QuenmiraAppDelegate : public TWKApplicationDelegate, public TWKApplicationDetails {
public:
    static constexpr const char* kHealthPercentKey = "healthPercent";

    // Makes this class and the classes of the application's interface files
    // known to the interface loader.
    static void registerClasses();

    std::string getTarnowickAppName() override;

    bool didFinishLaunchingWithOptions(platform::ui::Application& application,
                                       const platform::foundation::Value& options) override;
    bool openURL(platform::ui::Application& application, const std::string& url, const std::string& sourceApplication,
                 const platform::foundation::Value& annotation) override;
    void applicationDidBecomeActive(platform::ui::Application& application) override;
    void applicationWillEnterForeground(platform::ui::Application& application) override;
    void applicationWillResignActive(platform::ui::Application&) override {}
    void applicationDidEnterBackground(platform::ui::Application&) override {}
    void applicationWillTerminate(platform::ui::Application&) override {}
    // The main screen is made at launch.
    void setupApplication() override {}

    std::shared_ptr<MainViewController> mainViewController() const { return mainViewController_; }
    void setMainViewController(std::shared_ptr<MainViewController> controller) {
        mainViewController_ = std::move(controller);
    }

private:
    std::shared_ptr<MainViewController> mainViewController_;
};

// Any screen opens the information area: the base screen's goMoreAppsBrowser,
// in code or as an interface file's action, with the screen as the area's
// delegate for the support mail's extra lines.
#include <filesystem>
#include <fstream>

#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TWKMoreInfo.h"
#include "info_support.h"
#include "platform/ui/Button.h"
#include "platform/ui/NavigationController.h"

using namespace infotest;

namespace {

class InfoOpenTest : public InfoTest {
protected:
    std::shared_ptr<TWKMoreInfoTabBarController> presentedArea(const std::shared_ptr<ui::ViewController>& from) {
        return std::dynamic_pointer_cast<TWKMoreInfoTabBarController>(from->presentedViewController());
    }
    static std::shared_ptr<TWKMoreInfo> builderOf(const std::shared_ptr<TWKMoreInfoTabBarController>& tabs) {
        auto nav = std::dynamic_pointer_cast<ui::NavigationController>(tabs->viewControllers().front());
        auto screen = std::dynamic_pointer_cast<TWKMoreAppsBaseViewController>(nav->topViewController());
        return screen ? screen->moreInfoParent() : nullptr;
    }
};

}  // namespace

TEST_F(InfoOpenTest, TheScreenOpensTheAreaAndIsItsDelegate) {
    root_->extraLines = "Charge cycles: 412";
    root_->goMoreAppsBrowser(nullptr);
    settle(1);
    auto tabs = presentedArea(root_);
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->viewControllers().size(), 3u);
    EXPECT_EQ(ui::tabBarItem(*tabs->viewControllers()[0])->tag(), 3);
    auto info = builderOf(tabs);
    ASSERT_NE(info, nullptr);
    ASSERT_NE(info->delegate(), nullptr);
    EXPECT_EQ(info->delegate()->additionalTechInfoForSupportMail(), "Charge cycles: 412");

    // Opening again while it shows is refused by the platform: still one area.
    root_->goMoreAppsBrowserWithAddtionalString(std::string("ignored"));
    settle(1);
    EXPECT_EQ(presentedArea(root_), tabs);

    root_->dismissViewControllerAnimated(false);
    settle(0.1);
    std::weak_ptr<TWKMoreInfo> weakInfo = info;
    info.reset();
    tabs.reset();
    settle(0.1);
    EXPECT_TRUE(weakInfo.expired()) << "the area lives only while it is shown";

    root_->goMoreAppsBrowserWithAddtionalString(std::string("some text"));
    settle(1);
    EXPECT_NE(presentedArea(root_), nullptr) << "the text changes nothing";
}

TEST_F(InfoOpenTest, AnInterfaceFileButtonOpensTheArea) {
    const std::string dir = home_ + "/ui";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/Probe.json") << R"({"objects": [{"class": "View", "outlet": "view", "frame": [0, 0, 320, 480],
        "subviews": [{"class": "Button", "frame": [270, 20, 40, 40], "action": "goMoreAppsBrowser:"}]}]})";
    auto bundle = pf::Bundle::bundleWithPath(dir);
    auto probe = std::make_shared<TwkBaseViewController>("Probe", bundle.get());
    ui::setRootViewController(*window_, probe);
    settle(0.1);
    auto button = std::dynamic_pointer_cast<ui::Button>(probe->view()->subviews().at(0));
    ASSERT_NE(button, nullptr);
    button->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    auto tabs = presentedArea(probe);
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(builderOf(tabs)->delegate(), std::dynamic_pointer_cast<TWKMoreInfoDelegate>(probe));
    EXPECT_EQ(builderOf(tabs)->delegate()->additionalTechInfoForSupportMail(), "") << "the base adds nothing";
}

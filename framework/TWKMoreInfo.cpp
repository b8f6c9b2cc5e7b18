#include "framework/TWKMoreInfo.h"

#include "framework/TWKAbout.h"
#include "framework/TWKFeedBack.h"
#include "framework/TWKMoreApps.h"
#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/NavigationController.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

const std::vector<TWKMoreInfo::Tab>& TWKMoreInfo::tabs() {
    static const std::vector<Tab> t = {
        {"TWKFeedBack", "tab_feedback", "more-apps-feedback.png", 3},
        {"TWKMoreApps", "tab_moreapps", "more-apps-list.png", 2},
        {"TWKAbout", "tab_about", "more-apps-about.png", 1},
    };
    return t;
}

std::string TWKMoreInfo::localizedString(const std::string& key) {
    const pf::Bundle* bundle = TWKMoreAppsBaseViewController::resourceBundle();
    return bundle ? bundle->localizedString(key, "", "TarnowickCommonLocalizable") : key;
}

std::string TWKMoreInfo::getAppShortlinkWithLocale(bool withLocale) {
    const pf::Value v = TwkUtils::getPlistKey("twk-shortlink-free");
    std::string link = v.isString() ? v.string() : "MISSING_KEY_FOR_APP_SHORT_LINK";
    if (withLocale) link += "," + TwkUtils::getLocale();
    return link;
}

std::shared_ptr<TWKMoreAppsBaseViewController> TWKMoreInfo::makeScreen(const Tab& tab) {
    const std::string screen = tab.screen;
    if (screen == "TWKFeedBack") return TWKMoreAppsBaseViewController::create<TWKFeedBack>();
    if (screen == "TWKMoreApps") return TWKMoreAppsBaseViewController::create<TWKMoreApps>();
    return TWKMoreAppsBaseViewController::create<TWKAbout>();
}

std::shared_ptr<TWKMoreInfoTabBarController> TWKMoreInfo::showFromController(
    const std::shared_ptr<ui::ViewController>& controller) {
    if (!TwkUtils::getPlistKey("twk-weblink").isString())
        TwkUtils::showAlertWithTitle("Missing Weblink", "CheckPLIST!");
    if (!TwkUtils::getPlistKey("twk-shortlink-free").isString())
        TwkUtils::showAlertWithTitle("Missing ShortLinkFree", "CheckPLIST!");

    std::vector<std::shared_ptr<ui::ViewController>> navs;
    if (optionController_) navs.push_back(optionController_);
    for (const Tab& tab : tabs()) {
        auto screen = makeScreen(tab);
        screen->setMoreInfoParent(shared_from_this());
        screen->setBackToViewController(controller);
        auto item = std::make_shared<ui::TabBarItem>(localizedString(tab.titleKey), TwkUtils::getBundleImage(tab.image),
                                                     tab.tag);
        item->setKeepsOriginalColors(true);
        ui::setTabBarItem(*screen, item);
        auto nav = std::make_shared<ui::NavigationController>(screen);
        nav->navigationBar()->setBarStyle(ui::BarStyle::Default);
        ui::setTabBarItem(*nav, item);
        navs.push_back(nav);
    }
    auto tabBar = std::make_shared<TWKMoreInfoTabBarController>();
    tabBar->setViewControllers(navs, false);
    tabBar->setDelegate(this);
    if (controller) controller->presentViewController(tabBar, true);
    return tabBar;
}

#include "framework/TWKMoreInfo.h"

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreAppsBaseViewController.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/Label.h"
#include "platform/ui/NavigationController.h"

namespace ui = platform::ui;
namespace pf = platform::foundation;

namespace {

// A tab whose screen this build does not have yet: it shows its title. The
// More-apps tab carries the area's Done button, as its screen will.
class TWKPendingScreen : public TWKMoreAppsBaseViewController {
public:
    TWKPendingScreen(std::string title, bool doneButton) : title_(std::move(title)), doneButton_(doneButton) {}
    void viewDidLoad() override {
        setNeedsDoneButton(doneButton_);
        TWKMoreAppsBaseViewController::viewDidLoad();
        ui::navigationItem(*this)->setTitle(title_);
        auto v = view();
        auto label = std::make_shared<ui::Label>(ui::Rect{20, 0, v->bounds().width() - 40, v->bounds().height()});
        label->setAutoresizingMask(ui::kAutoresizingFlexibleWidth | ui::kAutoresizingFlexibleHeight);
        label->setText(title_);
        label->setFont(platform::graphics::Font::boldSystemFont(24));
        label->setTextColor(TWKButtonDark::globalColorText());
        label->setTextAlignment(platform::graphics::TextAlignment::Center);
        v->addSubview(label);
    }
    bool shouldAutorotateToInterfaceOrientation(ui::InterfaceOrientation) override { return true; }

private:
    std::string title_;
    bool doneButton_;
};

}  // namespace

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
    if (withLocale)
        link += "," + TwkUtils::getLocale();
    return link;
}

std::shared_ptr<TWKMoreAppsBaseViewController> TWKMoreInfo::makeScreen(const Tab& tab) {
    // A screen class registered by its name loads its own interface file.
    if (ui::ClassRegistry::contains(tab.screen)) {
        auto made = ui::ClassRegistry::create(tab.screen);
        if (auto vc = std::dynamic_pointer_cast<TWKMoreAppsBaseViewController>(made.object)) {
            vc->loadNow();
            return vc;
        }
    }
    return TWKMoreAppsBaseViewController::create<TWKPendingScreen>(localizedString(tab.titleKey),
                                                                   std::string(tab.screen) == "TWKMoreApps");
}

std::shared_ptr<TWKMoreInfoTabBarController> TWKMoreInfo::showFromController(
    const std::shared_ptr<ui::ViewController>& controller) {
    if (!TwkUtils::getPlistKey("twk-weblink").isString())
        TwkUtils::showAlertWithTitle("Missing Weblink", "CheckPLIST!");
    if (!TwkUtils::getPlistKey("twk-shortlink-free").isString())
        TwkUtils::showAlertWithTitle("Missing ShortLinkFree", "CheckPLIST!");

    std::vector<std::shared_ptr<ui::ViewController>> navs;
    if (optionController_)
        navs.push_back(optionController_);
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
    if (controller)
        controller->presentViewController(tabBar, true);
    return tabBar;
}

#pragma once
// The information area: a modal tab bar with Feedback, More apps and About,
// each tab a navigation stack with one framework screen at its root; and the
// application's store short link.
#include <memory>
#include <string>
#include <vector>

#include "framework/TWKMoreInfoDelegate.h"
#include "platform/ui/TabBarController.h"

class TWKMoreAppsBaseViewController;

class TWKMoreInfoTabBarController : public platform::ui::TabBarController {};

class TWKMoreInfo : public std::enable_shared_from_this<TWKMoreInfo>, public platform::ui::TabBarControllerDelegate {
public:
    // The tabs, in order: interface file (and class) name, title key, image, tag.
    struct Tab {
        const char* screen;
        const char* titleKey;
        const char* image;
        int64_t tag;
    };
    static const std::vector<Tab>& tabs();

    // The screen that opened the area; not kept alive by it.
    std::shared_ptr<TWKMoreInfoDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<TWKMoreInfoDelegate>& d) { delegate_ = d; }
    std::shared_ptr<platform::ui::ViewController> optionController() const { return optionController_; }
    void setOptionController(std::shared_ptr<platform::ui::ViewController> vc) { optionController_ = std::move(vc); }

    // Builds the area and has `controller` present it, animated. Returns the tab bar.
    std::shared_ptr<TWKMoreInfoTabBarController> showFromController(
        const std::shared_ptr<platform::ui::ViewController>& controller);

    // "twk-shortlink-free" of the Info.plist (or "MISSING_KEY_FOR_APP_SHORT_LINK"),
    // with "," and the locale when asked.
    static std::string getAppShortlinkWithLocale(bool withLocale);

    // A framework text: the table "TarnowickCommonLocalizable" of the resource
    // bundle, the key itself when missing.
    static std::string localizedString(const std::string& key);

    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) { return true; }

private:
    std::shared_ptr<TWKMoreAppsBaseViewController> makeScreen(const Tab& tab);
    std::weak_ptr<TWKMoreInfoDelegate> delegate_;
    std::shared_ptr<platform::ui::ViewController> optionController_;
};

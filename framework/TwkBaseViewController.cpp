#include "framework/TwkBaseViewController.h"

#include "framework/TwkUtils.h"

TwkBaseViewController::TwkBaseViewController(std::string nibName, const platform::foundation::Bundle* bundle)
    : TLYTrackedViewController(std::move(nibName), bundle) {}

void TwkBaseViewController::viewDidLoad() {
    TLYTrackedViewController::viewDidLoad();
    if (TwkUtils::isRunningAtLeastiOS7()) {
        setEdgesForExtendedLayout(platform::ui::kRectEdgeNone);
        setNeedsStatusBarAppearanceUpdate();
    }
}

void TwkBaseViewController::viewWillAppear(bool animated) {
    TLYTrackedViewController::viewWillAppear(animated);
    if (!screenName()) setScreenName(nibClassName());
}

void TwkBaseViewController::viewDidAppear(bool animated) { TLYTrackedViewController::viewDidAppear(animated); }

platform::ui::StatusBarStyle TwkBaseViewController::preferredStatusBarStyle() const {
    return platform::ui::StatusBarStyle::LightContent;
}

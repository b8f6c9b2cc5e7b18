#include "framework/TwkBaseViewController.h"

#include "framework/TWKMoreInfo.h"
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

void TwkBaseViewController::declareConnections(platform::ui::ConnectionTable& t) {
    TLYTrackedViewController::declareConnections(t);
    t.action("goMoreAppsBrowser:", [this](platform::ui::Control& sender) { goMoreAppsBrowser(&sender); });
}

void TwkBaseViewController::goMoreAppsBrowser(platform::ui::Control*) {
    goMoreAppsBrowserWithAddtionalString(std::nullopt);
}

void TwkBaseViewController::goMoreAppsBrowserWithAddtionalString(const std::optional<std::string>&) {
    // The area keeps itself alive through its screens while it is shown. The
    // text is for callers that pass one; the area has nothing to show it in.
    auto info = std::make_shared<TWKMoreInfo>();
    auto self = shared_from_this();
    info->setDelegate(std::dynamic_pointer_cast<TWKMoreInfoDelegate>(self));
    info->showFromController(self);
}

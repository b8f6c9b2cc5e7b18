#pragma once
// The base of every screen: an analytics-tracked screen named after its class
// unless it names itself, with the light status bar and content kept clear of
// the bars.
#include <optional>
#include <string>

#include "analytics/TLYTrackedViewController.h"
#include "framework/TWKMoreInfoDelegate.h"

class TwkBaseViewController : public TLYTrackedViewController, public TWKMoreInfoDelegate {
public:
    explicit TwkBaseViewController(std::string nibName = "", const platform::foundation::Bundle* bundle = nullptr);

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    platform::ui::StatusBarStyle preferredStatusBarStyle() const override;
    bool prefersStatusBarHidden() const override { return false; }
    static void simulateMemoryWarning() {}
    void declareConnections(platform::ui::ConnectionTable& table) override;

    // Opens the information area from this screen; the interface files' action
    // "goMoreAppsBrowser:". The text is handed over and has no further effect.
    void goMoreAppsBrowser(platform::ui::Control* sender);
    void goMoreAppsBrowserWithAddtionalString(const std::optional<std::string>& text);

    std::string additionalTechInfoForSupportMail() override { return ""; }
};

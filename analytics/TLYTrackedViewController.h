#pragma once
// A view controller that sends a screen view each time its screen has come
// into view, with "&cd" set to its screen name.
#include <memory>
#include <optional>
#include <string>

#include "analytics/TLYTracker.h"
#include "platform/ui/ViewController.h"

class TLYTrackedViewController : public platform::ui::ViewController {
public:
    explicit TLYTrackedViewController(std::string nibName = "", const platform::foundation::Bundle* bundle = nullptr);

    void viewDidAppear(bool animated) override;

    // Null means the shared instance's default tracker. Kept alive while set.
    std::shared_ptr<TLYTracker> tracker() const { return tracker_; }
    void setTracker(std::shared_ptr<TLYTracker> tracker) { tracker_ = std::move(tracker); }
    // Null means the screen sends nothing.
    const std::optional<std::string>& screenName() const { return screenName_; }
    void setScreenName(std::optional<std::string> name) { screenName_ = std::move(name); }

private:
    std::shared_ptr<TLYTracker> tracker_;
    std::optional<std::string> screenName_;
};

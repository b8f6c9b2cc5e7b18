#pragma once
// The review dialog: a question and four answers (rate, report a problem,
// remind me later, never ask again). Each answer stores its choice and closes
// the dialog through the screen that presented it.
#include <memory>

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreAppsBaseViewController.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

class TWKReviewAsk : public TWKMoreAppsBaseViewController {
public:
    TWKReviewAsk();

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override { TWKMoreAppsBaseViewController::viewWillAppear(animated); }
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }

    void goLikeApp(platform::ui::Control* sender);
    void goNotLikeApp(platform::ui::Control* sender);
    void goRemind(platform::ui::Control* sender);
    void goNeverAsk(platform::ui::Control* sender);
    // "review_never_ask_v2" = "1" and "lastReviewAsk_v2" = 0.
    static void neverAgain();

    std::shared_ptr<platform::ui::ScrollView> viewScrollview() const { return viewScrollview_; }
    std::shared_ptr<platform::ui::View> viewContainer() const { return viewContainer_; }
    std::shared_ptr<platform::ui::Label> labelTitle() const { return labelTitle_; }
    std::shared_ptr<TWKButtonDark> buttonILike() const { return buttonILike_; }
    std::shared_ptr<TWKButtonDark> buttonProblem() const { return buttonProblem_; }
    std::shared_ptr<TWKButtonDark> buttonRemind() const { return buttonRemind_; }
    std::shared_ptr<TWKButtonDark> buttonNeverAsk() const { return buttonNeverAsk_; }

private:
    void close(std::function<void()> then = nullptr);
    std::shared_ptr<platform::ui::ScrollView> viewScrollview_;
    std::shared_ptr<platform::ui::View> viewContainer_;
    std::shared_ptr<platform::ui::Label> labelTitle_;
    std::shared_ptr<TWKButtonDark> buttonILike_, buttonProblem_, buttonRemind_, buttonNeverAsk_;
};

#pragma once
// The Feedback tab: asks whether the user likes the application. "Yes" leads
// to the thanks screen with its rating and sharing buttons (TWKFeedBackLike),
// "something does not work" to the problem-report page.
#include <memory>
#include <string>

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreAppsBaseViewController.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

class TWKFeedBack : public TWKMoreAppsBaseViewController {
public:
    TWKFeedBack();

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }

    void goLikeApp(platform::ui::Control* sender);
    void goNotLikeApp(platform::ui::Control* sender);

    std::shared_ptr<platform::ui::Label> labelTitle() const { return labelTitle_; }
    std::shared_ptr<TWKButtonDark> buttonILike() const { return buttonILike_; }
    std::shared_ptr<TWKButtonDark> buttonProblem() const { return buttonProblem_; }

private:
    std::shared_ptr<platform::ui::ScrollView> viewScrollview_;
    std::shared_ptr<platform::ui::View> viewContainer_;
    std::shared_ptr<platform::ui::Label> labelTitle_;
    std::shared_ptr<TWKButtonDark> buttonILike_, buttonProblem_;
};

// Thanks the user and offers to rate the application and to share it by
// mail, on Plazza, Twitter and Sina Weibo. The share texts come from one
// template with "$APP" (the application's name) and "$URL" (its short link);
// on Plazza the link travels as the post's URL, never in its text.
class TWKFeedBackLike : public TWKMoreAppsBaseViewController {
public:
    TWKFeedBackLike();

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }
    // Close the gap a hidden button leaves: the mail button moves up.
    void hideWeiboButton();
    void hidePlazzaButton();

    // The template with the name and the short link (and a blank after it).
    static std::string simpleShareString();
    static std::string simpleShareString(const std::string& shareTemplate);
    // The Plazza post's text: the template up to its first "$APP", with the
    // name; a template without "$APP", whole.
    static std::string plazzaShareTitle();
    static std::string plazzaShareTitle(const std::string& shareTemplate);

    void goReview(platform::ui::Control* sender);
    void goShareMail(platform::ui::Control* sender);
    void goShareTwitter(platform::ui::Control* sender);
    void goSharePlazza(platform::ui::Control* sender);
    void goShareWeibo(platform::ui::Control* sender);

    std::shared_ptr<platform::ui::Label> labelBigTitle() const { return labelBigTitle_; }
    std::shared_ptr<TWKButtonDark> buttonReview() const { return buttonReview_; }
    std::shared_ptr<TWKButtonDark> buttonMail() const { return buttonMail_; }
    std::shared_ptr<TWKButtonDark> buttonTwitter() const { return buttonTwitter_; }
    std::shared_ptr<TWKButtonDark> buttonPlazza() const { return buttonPlazza_; }
    std::shared_ptr<TWKButtonDark> buttonWeibo() const { return buttonWeibo_; }

private:
    std::shared_ptr<platform::ui::ViewController> self();
    std::shared_ptr<platform::ui::ScrollView> viewScrollview_;
    std::shared_ptr<platform::ui::View> viewContainer_;
    std::shared_ptr<platform::ui::Label> labelBigTitle_;
    std::shared_ptr<TWKButtonDark> buttonReview_, buttonMail_, buttonTwitter_, buttonPlazza_, buttonWeibo_;
};

#pragma once
// The problem-report page: an introduction, the languages the maker reads, and
// a button that opens a mail to support with the device's technical facts.
// Inside the Feedback tab it returns to the tab's first screen when the mail
// sheet closes; presented on its own it closes itself, and has a Done button
// of its own so that it can be left without sending anything.
#include <memory>
#include <string>

#include "framework/TWKButtonDark.h"
#include "framework/TWKMoreAppsBaseViewController.h"
#include "platform/ui/MailComposeSheet.h"
#include "platform/ui/WebView.h"

class TWKReportIntroViewController : public TWKMoreAppsBaseViewController,
                                     public platform::ui::WebViewDelegate,
                                     public platform::ui::MailComposeSheetDelegate {
public:
    static constexpr const char* kSupportAddress = "support@tarnowick.example";
    static constexpr const char* kMakerDomain = "tarnowick.example";
    static constexpr const char* kBrandDomain = "ulmarok.example";

    TWKReportIntroViewController();
    ~TWKReportIntroViewController() override;

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override { return true; }

    void webViewDidFinishLoad(platform::ui::WebView& webView) override;
    void goFeedBackMail(platform::ui::Control* sender);
    void didFinishWithResult(platform::ui::MailComposeSheet& controller, platform::ui::MailComposeResult result,
                             const platform::foundation::Error* error) override;
    void closeParent(void* ignored = nullptr);

    // The page, the mail's subject and its body, as they would be shown and sent now.
    static std::string pageHTML();
    static std::string supportMailSubject();
    static std::string supportMailBody();

    std::shared_ptr<platform::ui::WebView> webViewInfo() const { return webViewInfo_; }
    std::shared_ptr<TWKButtonDark> buttonUnderstand() const { return buttonUnderstand_; }
    // The page's own close button, shown only outside a navigation stack.
    std::shared_ptr<platform::ui::Button> closeButton() const { return closeButton_; }

private:
    std::shared_ptr<platform::ui::WebView> webViewInfo_;
    std::shared_ptr<TWKButtonDark> buttonUnderstand_;
    std::shared_ptr<platform::ui::Button> closeButton_;
};

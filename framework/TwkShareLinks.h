#pragma once
// Handing text to other applications: the compose sheets of the Twitter,
// Plazza and Sina Weibo services, the mail sheet, and following a Twitter user
// in whichever client is installed (the web profile when none is). A sheet is
// only offered when its service has an account on the device.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/ui/MailComposeSheet.h"
#include "platform/ui/ViewController.h"

class TwkShareLinks : public platform::ui::MailComposeSheetDelegate {
public:
    // The follow-user URL templates, tried in order; "$" stands for the user name.
    static const std::vector<std::string>& followTemplates();
    // The web profile's host, the last resort of following a user.
    static constexpr const char* kTwitterWebHost = "twitter.com";

    static std::shared_ptr<TwkShareLinks> sharedInstance();

    static void twitterOpenLinkToFollowUser(const std::string& user);
    static void twitterOpenLinkToPostMessage(const std::string& text,
                                             const std::shared_ptr<platform::ui::ViewController>& from);
    void instanceTwitterOpenLinkToPostMessage(const std::string& text,
                                              const std::shared_ptr<platform::ui::ViewController>& from);
    static void weiboPostMessage(const std::string& text, const std::shared_ptr<platform::ui::ViewController>& from);
    static void plazzaPostLink(const std::string& link, const std::string& title,
                               const std::shared_ptr<platform::ui::ViewController>& from);

    // False when the device cannot send mail; true when the sheet is on its way
    // (presented on a later turn of the main queue).
    static bool mailComposeWithTitle(const std::optional<std::string>& title, const std::optional<std::string>& body,
                                     bool isHTML, const std::optional<std::string>& recipient,
                                     const std::shared_ptr<platform::ui::ViewController>& from);
    bool instanceMailComposeWithTitle(const std::optional<std::string>& title, const std::optional<std::string>& body,
                                      bool isHTML, const std::optional<std::string>& recipient,
                                      const std::shared_ptr<platform::ui::ViewController>& from);

    // The mail sheet's delegate when the presenter is not one: closes the sheet.
    void didFinishWithResult(platform::ui::MailComposeSheet& controller, platform::ui::MailComposeResult result,
                             const platform::foundation::Error* error) override;

    // The last Plazza post: "link" and "caption".
    const platform::foundation::Value& paramsForFeedPost() const { return paramsForFeedPost_; }
    void setParamsForFeedPost(platform::foundation::Value v) { paramsForFeedPost_ = std::move(v); }

private:
    platform::foundation::Value paramsForFeedPost_;
};

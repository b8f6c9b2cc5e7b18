// Share links: compose sheets that say when their service has no account, the
// mail sheet with its exact contents and delegate, and following a user.
#include "framework/TwkShareLinks.h"
#include "info_support.h"

using namespace infotest;

namespace {

class MailScreen : public RootScreen, public ui::MailComposeSheetDelegate {
public:
    std::vector<ui::MailComposeResult> results;
    void didFinishWithResult(ui::MailComposeSheet& c, ui::MailComposeResult r, const pf::Error*) override {
        results.push_back(r);
        c.dismissViewControllerAnimated(false);
    }
};

class ShareTest : public InfoTest {};

}  // namespace

TEST_F(ShareTest, WithoutAnAccountTwitterAndPlazzaSheetsSaySoAndWeiboShowsNothing) {
    TwkShareLinks::weiboPostMessage("weibo", root_);
    settle(1);
    EXPECT_TRUE(ui::ComposeSheet::recorded().empty()) << "no Weibo account: no sheet";
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    EXPECT_TRUE(ui::Alert::pending().empty());

    TwkShareLinks::twitterOpenLinkToPostMessage("tweet", root_);
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::ComposeSheet>(root_->presentedViewController());
    ASSERT_NE(sheet, nullptr);
    EXPECT_FALSE(sheet->postButton()->isEnabled());
    EXPECT_EQ(alertTitles(), std::vector<std::string>{"No Twitter Accounts"});
    ui::Alert::pending()[0]->clickButtonAtIndex(0);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "the alert's Cancel closes the sheet";

    TwkShareLinks::plazzaPostLink("https://tarnowick.example/a b", "Look", root_);
    settle(1);
    auto plazza = std::dynamic_pointer_cast<ui::ComposeSheet>(root_->presentedViewController());
    ASSERT_NE(plazza, nullptr);
    EXPECT_EQ(alertTitles(), std::vector<std::string>{"No Plazza Accounts"});
    EXPECT_EQ(ui::Alert::pending()[0]->message(),
              "There are no Plazza accounts configured. You can add or create a Plazza account in Settings.");
    // The sheet's own Cancel takes the alert with it.
    plazza->cancelButton()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    EXPECT_TRUE(ui::Alert::pending().empty());
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    ASSERT_EQ(ui::ComposeSheet::recorded().size(), 2u);
    EXPECT_EQ(ui::ComposeSheet::recorded()[0].text, "tweet");
    EXPECT_EQ(ui::ComposeSheet::recorded()[1].urls, std::vector<std::string>{"https://tarnowick.example/a%20b"});
    EXPECT_EQ(TwkShareLinks::sharedInstance()->paramsForFeedPost()["caption"], pf::Value("Look"));
}

TEST_F(ShareTest, SheetsCarryTheirTextAndLinkAndCloseThroughThePresenter) {
    for (const char* s : {ui::kServiceTypeTwitter, ui::kServiceTypePlazza, ui::kServiceTypeSinaWeibo})
        ui::ComposeSheet::setServiceAvailable(s, true);
    TwkShareLinks::twitterOpenLinkToPostMessage("Battery at 80%", root_);
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::ComposeSheet>(root_->presentedViewController());
    ASSERT_TRUE(sheet);
    sheet->finish(ui::ComposeResult::Done);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr);

    TwkShareLinks::plazzaPostLink("https://tarnowick.example/app?x=1 2&é", "My title", root_);
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "presented from the main queue, later";
    settle(1);
    auto plazza = std::dynamic_pointer_cast<ui::ComposeSheet>(root_->presentedViewController());
    ASSERT_TRUE(plazza);
    plazza->cancelButton()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    TwkShareLinks::weiboPostMessage("weibo text", root_);
    settle(1);

    const auto& rec = ui::ComposeSheet::recorded();
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec[0].serviceType, ui::kServiceTypeTwitter);
    EXPECT_EQ(rec[0].text, "Battery at 80%");
    EXPECT_TRUE(rec[0].urls.empty());
    EXPECT_EQ(rec[1].serviceType, ui::kServiceTypePlazza);
    EXPECT_EQ(rec[1].text, "My title");
    EXPECT_EQ(rec[1].urls, std::vector<std::string>{"https://tarnowick.example/app?x=1%202&%C3%A9"});
    EXPECT_EQ(rec[2].serviceType, ui::kServiceTypeSinaWeibo);
    EXPECT_EQ(rec[2].text, "weibo text");
    const auto& params = TwkShareLinks::sharedInstance()->paramsForFeedPost();
    EXPECT_EQ(params["link"], pf::Value("https://tarnowick.example/app?x=1 2&é"));
    EXPECT_EQ(params["caption"], pf::Value("My title"));
}

TEST_F(ShareTest, MailWithoutAnAccountAnswersNoAndShowsNothing) {
    EXPECT_FALSE(TwkShareLinks::mailComposeWithTitle("s", "b", false, std::string("a@b.example"), root_));
    settle(1);
    EXPECT_TRUE(ui::MailComposeSheet::recorded().empty());
    EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(ShareTest, MailSheetIsFilledAndTheSharedInstanceClosesIt) {
    ui::MailComposeSheet::setCanSendMail(true);
    EXPECT_TRUE(
        TwkShareLinks::mailComposeWithTitle("Subject", "<b>Body</b>", true, std::string("me@x.example"), root_));
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "on its way";
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::MailComposeSheet>(root_->presentedViewController());
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->modalTransitionStyle(), ui::ModalTransitionStyle::FlipHorizontal);
    EXPECT_EQ(sheet->mailComposeDelegate(), TwkShareLinks::sharedInstance().get());
    ASSERT_EQ(ui::MailComposeSheet::recorded().size(), 1u);
    const auto& r = ui::MailComposeSheet::recorded()[0];
    EXPECT_EQ(r.subject, "Subject");
    EXPECT_EQ(r.body, "<b>Body</b>");
    EXPECT_TRUE(r.isHTML);
    EXPECT_EQ(r.toRecipients, std::vector<std::string>{"me@x.example"});
    sheet->finish(ui::MailComposeResult::Failed);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "closed whatever the result";
}

TEST_F(ShareTest, APresenterThatIsAMailDelegateHearsTheResult) {
    ui::MailComposeSheet::setCanSendMail(true);
    auto screen = std::make_shared<MailScreen>();
    ui::setRootViewController(*window_, screen);
    settle(0.1);
    EXPECT_TRUE(TwkShareLinks::mailComposeWithTitle(std::nullopt, std::nullopt, false, std::nullopt, screen));
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::MailComposeSheet>(screen->presentedViewController());
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->contents().subject, "");
    EXPECT_TRUE(sheet->contents().toRecipients.empty());
    sheet->sendButton()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    EXPECT_EQ(screen->results, std::vector<ui::MailComposeResult>{ui::MailComposeResult::Sent});
}

TEST_F(ShareTest, FollowingAUserTakesTheFirstClientThatOpens) {
    std::vector<std::string> opened;
    auto record = [&](const std::string& url) {
        opened.push_back(url);
        return true;
    };
    auto& app = ui::Application::shared();
    app.setBrowserCommand("/bin/true");
    // No client: the web profile.
    ASSERT_TRUE(app.canOpenURL("http://twitter.com/#!/quenmira"));
    app.registerURLHandler("twit", record);
    app.registerURLHandler("tweetie", record);
    TwkShareLinks::twitterOpenLinkToFollowUser("quenmira");
    EXPECT_EQ(opened, std::vector<std::string>{"tweetie://user?screen_name=quenmira"}) << "the earlier one wins";
    opened.clear();
    TwkShareLinks::twitterOpenLinkToFollowUser("bad name");  // no valid client URL: the web profile
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(TwkShareLinks::followTemplates().back(), "http://twitter.com/#!/$");
}

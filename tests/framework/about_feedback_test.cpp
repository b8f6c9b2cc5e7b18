// The About and Feedback tabs: the animated logo and the credits page, links
// leaving for the browser, the thanks screen and its sharing, and mail
// without an account.
#include <algorithm>

#include "framework/TWKAbout.h"
#include "framework/TWKFeedBack.h"
#include "framework/TWKReportIntroViewController.h"
#include "framework/TwkUtils.h"
#include "more_apps_support.h"
#include "platform/ui/TextInputMode.h"

using namespace infotest;

namespace {

class InfoScreensTest : public MoreAppsTest {
protected:
    void TearDown() override {
        ui::TextInputMode::setActiveInputModes({});
        MoreAppsTest::TearDown();
    }
    // Opens the information area on tab `index`; the navigation stack of that tab.
    std::shared_ptr<ui::NavigationController> openTab(int64_t index) {
        root_->goMoreAppsBrowser(nullptr);
        settle(1);
        auto tabs = std::dynamic_pointer_cast<ui::TabBarController>(root_->presentedViewController());
        if (!tabs) return nullptr;
        tabs->setSelectedIndex(index);
        settle(0.5);
        return std::dynamic_pointer_cast<ui::NavigationController>(tabs->selectedViewController());
    }
    std::shared_ptr<TWKFeedBackLike> openThanks() {
        auto nav = openTab(0);
        auto feedback = nav ? std::dynamic_pointer_cast<TWKFeedBack>(nav->topViewController()) : nullptr;
        if (!feedback) return nullptr;
        feedback->buttonILike()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
        settle(1);
        return std::dynamic_pointer_cast<TWKFeedBackLike>(nav->topViewController());
    }
};

}  // namespace

TEST_F(InfoScreensTest, AboutShowsTheAnimatedLogoAndThePage) {
    auto nav = openTab(2);
    ASSERT_NE(nav, nullptr);
    auto about = std::dynamic_pointer_cast<TWKAbout>(nav->topViewController());
    ASSERT_NE(about, nullptr);
    ASSERT_TRUE(pump([&] { return about->viewImageLogo()->isAnimating(); }));
    settle(2);
    EXPECT_EQ(about->viewImageLogo()->animationImages().size(), 30u);
    EXPECT_EQ(about->viewImageLogo()->alpha(), 1.0);
    EXPECT_EQ(about->webViewCreds()->alpha(), 1.0);
    EXPECT_EQ(about->viewLabelCode()->text(), "Code and design: Tarnowick Apps");
    const std::string page = TWKAbout::pageHTML();
    EXPECT_NE(page.find("<h1>Credits</h1>"), std::string::npos) << "the application's own file";
    EXPECT_NE(page.find("Tarnowick framework's own code"), std::string::npos) << "the framework's file";
    EXPECT_EQ(page.find("Big OOPS"), std::string::npos);
    EXPECT_TRUE(writeSnapshot("about.png"));
    // The logo's frames are white and gold on the tinted block: not the page's background.
    // Every frame has its arc somewhere in the logo's square, whichever is showing.
    const auto shot = window_->composedImage();
    const auto logo = about->viewImageLogo()->convertRectTo(about->viewImageLogo()->bounds(), nullptr);
    const double scale = window_->scale();  // pixels of the composed image per point
    int drawn = 0;
    for (int y = int(logo.minY()); y < int(logo.maxY()); y += 4)
        for (int x = int(logo.minX()); x < int(logo.maxX()); x += 4) {
            const auto pixel = shot->pixelAt(int(x * scale), int(y * scale));
            drawn += pixel.r > 250 && pixel.b < 100;
        }
    EXPECT_GT(drawn, 3) << "gold of the logo's arc";

    // The page grows over the header once scrolled, and comes back at the top.
    auto scroll = about->webViewCreds()->scrollView();
    scroll->setContentOffset({0, 40});
    about->scrollViewDidScroll(*scroll);
    settle(0.5);
    EXPECT_EQ(about->webViewCreds()->frame().origin.y, 0.0);
    EXPECT_EQ(about->buttonTwitter()->alpha(), 0.0);
    scroll->setContentOffset({0, 0});
    about->scrollViewDidScroll(*scroll);
    settle(0.5);
    EXPECT_EQ(about->webViewCreds()->frame().origin.y, TWKAbout::kHeaderHeight);
    EXPECT_EQ(about->buttonTwitter()->alpha(), 1.0);
}

TEST_F(InfoScreensTest, AboutEscapesTheNameAndOpensPlainWebLinksOutside) {
    useInfoPlist(
        "<key>CFBundleDisplayName</key><string>&lt;b&gt;Q&amp;A&lt;/b&gt;</string>"
        "<key>CFBundleVersion</key><string>2&lt;3</string>");
    const std::string page = TWKAbout::pageHTML();
    EXPECT_NE(page.find(">&lt;b&gt;Q&amp;A&lt;/b&gt;</h1>"), std::string::npos);
    EXPECT_NE(page.find("Version 2&lt;3</p>"), std::string::npos);

    auto about = TWKMoreAppsBaseViewController::create<TWKAbout>();
    auto& web = *about->webViewCreds();
    // A secure link loads inside the page; only a plain one leaves for the browser.
    EXPECT_TRUE(about->shouldStartLoadWithRequest(web, "https://www.tarnowick.example/licences",
                                                  ui::WebViewNavigationType::LinkClicked));
    EXPECT_FALSE(
        about->shouldStartLoadWithRequest(web, "http://tarnowick.example/", ui::WebViewNavigationType::LinkClicked));
    EXPECT_FALSE(about->shouldStartLoadWithRequest(web, "https://tarnowick.example/go?to=http://elsewhere.example/",
                                                   ui::WebViewNavigationType::LinkClicked))
        << "\"http://\" anywhere in the URL";
    EXPECT_TRUE(about->shouldStartLoadWithRequest(web, "about:blank", ui::WebViewNavigationType::Other));
    // Each link starts a browser process of its own: they may write in either order.
    auto opened = openedURLs(2);
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"http://tarnowick.example/",
                                                "https://tarnowick.example/go?to=http://elsewhere.example/"}));
}

// An application without a name still gets its About page and share texts,
// with nothing where the name goes.
TEST_F(InfoScreensTest, ANamelessApplicationLeavesTheNameOut) {
    useInfoPlist("<key>CFBundleName</key><string>QuenmiraBundle</string>"
                 "<key>CFBundleVersion</key><string>3.1</string>");
    const std::string page = TWKAbout::pageHTML();
    EXPECT_NE(page.find("<h1 align='center' style='margin:0;padding:0;'></h1>"), std::string::npos);
    EXPECT_NE(page.find("Version 3.1</p>"), std::string::npos);
    EXPECT_EQ(TWKFeedBackLike::simpleShareString("$APP: $URL"), ": MISSING_KEY_FOR_APP_SHORT_LINK ");
    EXPECT_EQ(TWKFeedBackLike::plazzaShareTitle("I use $APP, $URL"), "I use ");
}

TEST_F(InfoScreensTest, ALogoThatArrivesAfterTheScreenLeftIsDropped) {
    auto about = TWKMoreAppsBaseViewController::create<TWKAbout>();
    about->viewWillAppear(false);  // the frames start loading in the background
    about->viewDidDisappear(false);
    pump([] { return false; }, 0.3);
    EXPECT_FALSE(about->viewImageLogo()->isAnimating());
    EXPECT_TRUE(about->viewImageLogo()->animationImages().empty());

    // A brand application: the brand's logo, still, and no credit line.
    useInfoPlist("<key>ulvarek-brand</key><true/>");
    about = TWKMoreAppsBaseViewController::create<TWKAbout>();
    EXPECT_TRUE(about->viewLabelCode()->isHidden());
    EXPECT_EQ(about->buttonTwitter()->currentTitle(), "@ulmarok");
    about->viewWillAppear(false);
    ASSERT_TRUE(pump([&] { return about->viewLogoText()->image() == TwkUtils::getBundleImage("ulmarok_logo.png"); }));
    EXPECT_FALSE(about->viewImageLogo()->isAnimating());
}

TEST_F(InfoScreensTest, YesILikeItShowsTheThanksAndMailWithoutAnAccountSaysSo) {
    auto thanks = openThanks();
    ASSERT_NE(thanks, nullptr);
    EXPECT_EQ(thanks->labelBigTitle()->text(), "Thank you! Would you tell others about it?");
    EXPECT_EQ(thanks->buttonReview()->currentTitle(), "I like it, let me rate it");
    EXPECT_TRUE(writeSnapshot("feedback-thanks.png"));
    // No Chinese keyboard: no Weibo, and the mail button takes its place.
    EXPECT_TRUE(thanks->buttonWeibo()->isHidden());
    EXPECT_EQ(thanks->buttonMail()->frame().origin, thanks->buttonWeibo()->frame().origin);

    thanks->buttonMail()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(0.5);
    ASSERT_EQ(ui::Alert::pending().size(), 1u);
    EXPECT_EQ(ui::Alert::pending()[0]->title(), "No mail configured!");
    EXPECT_EQ(ui::Alert::pending()[0]->message(), "You can always write me at support@tarnowick.example");
    EXPECT_TRUE(writeSnapshot("feedback-no-mail.png"));
}

TEST_F(InfoScreensTest, ThanksShareTextsKeepTheLinkApartOnPlazza) {
    EXPECT_EQ(TWKFeedBackLike::simpleShareString("$APP: $URL"), "Quenmira: https://tarnowick.example/s/quenmira ");
    EXPECT_EQ(TWKFeedBackLike::plazzaShareTitle("$APP: $URL"), "Quenmira");
    EXPECT_EQ(TWKFeedBackLike::plazzaShareTitle("Battery news: $URL"), "Battery news: $URL")
        << "without \"$APP\" the template is posted whole";
    EXPECT_EQ(TWKFeedBackLike::plazzaShareTitle("Get $URL for $APP now"), "Get $URL for Quenmira");

    ui::TextInputMode::setActiveInputModes({"en-US", "zh-Hans"});
    ui::ComposeSheet::setServiceAvailable(ui::kServiceTypePlazza, true);
    auto thanks = openThanks();
    ASSERT_NE(thanks, nullptr);
    EXPECT_FALSE(thanks->buttonWeibo()->isHidden()) << "a Chinese keyboard brings Weibo";
    thanks->buttonPlazza()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    ASSERT_FALSE(ui::ComposeSheet::recorded().empty());
    const auto& post = ui::ComposeSheet::recorded().back();
    EXPECT_EQ(post.text, "I use Quenmira");
    EXPECT_EQ(post.urls, std::vector<std::string>{"https://tarnowick.example/s/quenmira"});
}

TEST_F(InfoScreensTest, TheProblemAnswerLeadsToTheReportPage) {
    auto nav = openTab(0);
    ASSERT_NE(nav, nullptr);
    auto feedback = std::dynamic_pointer_cast<TWKFeedBack>(nav->topViewController());
    ASSERT_NE(feedback, nullptr);
    EXPECT_EQ(feedback->labelTitle()->text(), "Do you like this app?");
    feedback->buttonProblem()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    EXPECT_NE(std::dynamic_pointer_cast<TWKReportIntroViewController>(nav->topViewController()), nullptr);
}

// On a phone the credits grow over the header once scrolled, by the wheel or by
// a drag, and come back under it at the top, even when the grown page holds
// them all; coming back to the tab meanwhile keeps the credit line out of sight.
TEST_F(InfoScreensTest, TheGrownCreditsScrollBackToTheirTopByWheelAndByDrag) {
    auto nav = openTab(2);
    ASSERT_NE(nav, nullptr);
    auto about = std::dynamic_pointer_cast<TWKAbout>(nav->topViewController());
    ASSERT_NE(about, nullptr);
    auto web = about->webViewCreds();
    const double viewHeight = about->view()->bounds().height();
    // A page taller than the collapsed frame and shorter than the grown one.
    const int pageHeight = int(viewHeight - TWKAbout::kHeaderHeight) + 60;
    web->loadHTMLString("<body style='margin:0'><div style='height:" + std::to_string(pageHeight) +
                            "px'>Credits</div></body>",
                        "");
    settle(1);
    auto middle = [&] {
        const ui::Rect r = web->convertRectTo(web->bounds(), nullptr);
        return ui::Point{r.midX(), r.midY()};
    };
    auto grown = [&] { return web->frame().origin.y == 0 && web->frame().height() == viewHeight; };
    auto collapsed = [&] { return web->frame().origin.y == TWKAbout::kHeaderHeight; };
    ASSERT_TRUE(collapsed());

    window_->sendWheel(middle(), 0, 30);
    settle(0.5);
    ASSERT_TRUE(grown()) << web->frame().origin.y;
    window_->sendWheel(middle(), 0, -30);
    settle(0.5);
    EXPECT_TRUE(collapsed()) << "the wheel brings the header back";

    auto drag = [&](double dy) {
        ui::Point p = middle();
        window_->sendPointer(ui::PointerPhase::Down, p);
        for (int i = 1; i <= 4; ++i) {
            settle(0.02);
            window_->sendPointer(ui::PointerPhase::Move, {p.x, p.y + dy * i / 4});
        }
        window_->sendPointer(ui::PointerPhase::Up, {p.x, p.y + dy});
        settle(0.5);
    };
    drag(-40);
    ASSERT_TRUE(grown());
    // Away to the Feedback tab and back while grown.
    auto tabs = std::dynamic_pointer_cast<ui::TabBarController>(root_->presentedViewController());
    ASSERT_NE(tabs, nullptr);
    tabs->setSelectedIndex(0);
    settle(0.5);
    tabs->setSelectedIndex(2);
    settle(2);
    ASSERT_TRUE(grown());
    // The credit line adds nothing to the picture over the page.
    auto credit = about->viewLabelCode();
    const ui::Rect line = credit->convertRectTo(credit->bounds(), nullptr);
    const auto shown = window_->composedImage();
    credit->setHidden(true);
    const auto without = window_->composedImage();
    credit->setHidden(false);
    const double scale = window_->scale();
    int differing = 0;
    for (int y = int(line.minY() * scale); y < int(line.maxY() * scale); ++y)
        for (int x = int(std::max(0.0, line.minX()) * scale); x < int(line.maxX() * scale); ++x)
            differing += !(shown->pixelAt(x, y) == without->pixelAt(x, y));
    EXPECT_EQ(differing, 0) << "the credit line shows over the grown page";

    drag(80);
    EXPECT_TRUE(collapsed()) << "a drag brings the header back";
}

// "Yes, I like it!" then a share button: without an account the sheet still
// comes, on screen, with the platform's word that there is no account.
TEST_F(InfoScreensTest, ShareButtonsWithoutAnAccountShowTheSheetThatSaysSo) {
    auto thanks = openThanks();
    ASSERT_NE(thanks, nullptr);
    struct Share {
        std::shared_ptr<TWKButtonDark> button;
        const char* alert;
    } shares[] = {{thanks->buttonTwitter(), "No Twitter Accounts"}, {thanks->buttonPlazza(), "No Plazza Accounts"}};
    for (const auto& share : shares) {
        share.button->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
        settle(1);
        ASSERT_EQ(alertTitles(), std::vector<std::string>{share.alert});
        auto alert = ui::Alert::pending()[0];
        ASSERT_NE(alert->view(), nullptr);
        EXPECT_TRUE(alert->view()->isDescendantOfView(window_.get())) << share.alert;
        // The sheet's card lies on the window, under the alert.
        auto sheet = std::dynamic_pointer_cast<ui::ComposeSheet>(thanks->presentedViewController());
        ASSERT_NE(sheet, nullptr) << share.alert;
        EXPECT_TRUE(sheet->view()->isDescendantOfView(window_.get()));
        EXPECT_FALSE(sheet->postButton()->isEnabled());
        alert->clickButtonAtIndex(0);
        settle(1);
        EXPECT_EQ(thanks->presentedViewController(), nullptr) << "Cancel closes the sheet";
    }
    EXPECT_EQ(ui::ComposeSheet::recorded().size(), 2u);
}

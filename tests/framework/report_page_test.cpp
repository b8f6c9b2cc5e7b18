// The problem-report page: its page text, the support mail's exact subject and
// body, closing after the mail, and the way out when no mail can be sent.
#include "framework/DeviceDetection.h"
#include "framework/TWKReportIntroViewController.h"
#include "framework/TwkUtils.h"
#include "info_support.h"
#include "platform/ui/DeviceProfile.h"
#include "platform/ui/NavigationController.h"

using namespace infotest;

namespace {

class ReportTest : public InfoTest {
protected:
    std::shared_ptr<TWKReportIntroViewController> presentOnItsOwn() {
        auto page = TWKMoreAppsBaseViewController::create<TWKReportIntroViewController>();
        page->setBackToViewController(root_);
        root_->presentViewController(page, true);
        settle(1);
        return page;
    }
};

}  // namespace

TEST_F(ReportTest, SupportMailSubjectAndBodyAreExact) {
    pf::UserDefaults::standard().setObject("AppleLanguages", pf::Value(pf::Value::Array{pf::Value("zh-Hans")}));
    pf::UserDefaults::standard().setString("AppleLocale", "zh_CN");
    root_->extraLines = "\nBattery: 80%";
    const std::string display = TwkUtils::getPlistKey("CFBundleDisplayName").stringValue();
    EXPECT_EQ(TWKReportIntroViewController::supportMailSubject(),
              "[iOS,ZH-HANS," + display + "] Problem report (tarnowick.example)");
    const auto& screen = ui::Screen::main();
    char res[64];
    std::snprintf(res, sizeof res, "%.0fx%.0f (Scale:%.1f)", screen.bounds().width(), screen.bounds().height(),
                  screen.scale());
    const std::string expected =
        "Please describe the problem here:\n\n\n\n"
        "AppLink: https://tarnowick.example/s/quenmira\n"
        "AppID: " +
        TwkUtils::getPlistKey("CFBundleIdentifier").stringValue() +
        "\n"
        "AppVersion.: " +
        TwkUtils::getAppVersionString() +
        "\n"
        "Locale: zh_CN\n"
        "RealName: " +
        DeviceDetection::name(false) +
        "\n"
        "DeviceCode: " +
        TwkUtils::getHardwareModel() +
        "\n"
        "OSVersion: " +
        ui::Device::current().systemVersion() +
        " :-)\n"
        "Resolution: " +
        res + "\nBattery: 80%";
    EXPECT_EQ(TWKReportIntroViewController::supportMailBody(), expected);
}

TEST_F(ReportTest, ARootThatOffersNothingAddsNothing) {
    auto plain = std::make_shared<ui::ViewController>();
    ui::setRootViewController(*window_, plain);
    settle(0.1);
    const std::string body = TWKReportIntroViewController::supportMailBody();
    EXPECT_EQ(body.substr(body.rfind('\n') + 1).rfind("Resolution: ", 0), 0u) << "the body ends with the resolution";
    useInfoPlist("<key>CFBundleIdentifier</key><string>x</string>");
    EXPECT_NE(TWKReportIntroViewController::supportMailBody().find("AppLink: MISSING_KEY_FOR_APP_SHORT_LINK\n"),
              std::string::npos);
}

TEST_F(ReportTest, PageUsesTheIdeaPictureForTheScreenScale) {
    ui::DeviceProfile profile;
    profile.scale = 1;
    ui::Screen::main().configure(profile);
    std::string html = TWKReportIntroViewController::pageHTML();
    EXPECT_NE(html.find("<img src='appidea.png' style='float:left; padding-top:0px;padding-right:8px;'/>"
                        "Something is wrong?"),
              std::string::npos);
    EXPECT_NE(html.find("<li>Français</li><li>English</li><li>Español</li><li>Português</li><li>Italiano</li>"
                        "<li>(ein bisschen) Deutsch</li></ul><p>"),
              std::string::npos);
    profile.scale = 2;
    ui::Screen::main().configure(profile);
    html = TWKReportIntroViewController::pageHTML();
    EXPECT_NE(html.find("<img src='appidea@2x.png' style='float:left; padding-top:0px;padding-right:8px;width:24px;"
                        "height:24px;'/>"),
              std::string::npos);
}

TEST_F(ReportTest, ThePageLoadsFromTheBundleAndFadesIn) {
    auto page = presentOnItsOwn();
    auto web = page->webViewInfo();
    ASSERT_TRUE(web);
    EXPECT_EQ(page->buttonUnderstand()->titleForState(ui::kControlStateNormal), "OK, I understand");
    settle(0.5);
    EXPECT_NEAR(web->alpha(), 1.0, 1e-9);
    EXPECT_EQ(web->requestURL().rfind("file://", 0), 0u);
    EXPECT_GT(web->pageSize().height, 100);
    ASSERT_TRUE(writeSnapshot("report_page.png"));
}

// The page's pictures resolve inside the framework's bundle wherever the
// application lies, a folder whose name holds '#' or a blank included.
TEST_F(ReportTest, TheIdeaPictureShowsFromABundleUnderAnyFolderName) {
    namespace fs = std::filesystem;
    const fs::path app = fs::path(home_) / "apps #1" / "Quenmira.app";
    fs::create_directories(app);
    fs::copy(fs::path(QM_BUNDLE_DIR) / "TWKResourcesMain.bundle", app / "TWKResourcesMain.bundle",
             fs::copy_options::recursive);
    pf::Bundle::setMainBundlePath(app.string(), std::string(QM_BUNDLE_DIR) + "/Info.plist");
    auto page = presentOnItsOwn();
    settle(0.5);
    auto web = page->webViewInfo();
    ASSERT_TRUE(web);
    EXPECT_NE(web->requestURL().find("/apps%20%231/Quenmira.app/TWKResourcesMain.bundle/"), std::string::npos);
    ASSERT_TRUE(writeSnapshot("report_page_hash_folder.png"));
    // The bulb's glow is the only yellow of the page, over its pale blue.
    const ui::Rect area = web->convertRectTo(web->bounds(), nullptr);
    const auto shot = window_->composedImage();
    int yellow = 0;
    for (int y = int(area.minY()); y < int(area.maxY()); ++y)
        for (int x = int(area.minX()); x < int(area.maxX()); ++x) {
            const auto p = shot->pixelAt(x, y);
            yellow += p.r > p.b + 25;
        }
    EXPECT_GT(yellow, 40) << "the idea picture beside the introduction";
}

TEST_F(ReportTest, WithoutMailTheAlertShowsAndThePageCanStillBeClosed) {
    auto page = presentOnItsOwn();
    page->buttonUnderstand()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(0.1);
    EXPECT_EQ(alertTitles(), std::vector<std::string>{"No mail configured!"});
    EXPECT_EQ(root_->presentedViewController(), page) << "the page stays";
    ASSERT_TRUE(page->closeButton()) << "presented on its own, it has a way out";
    page->closeButton()->sendActionsForControlEvents(ui::kControlEventTouchUpInside);
    settle(1);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(ReportTest, SentMailClosesThePagePresentedOnItsOwn) {
    ui::MailComposeSheet::setCanSendMail(true);
    auto page = presentOnItsOwn();
    page->goFeedBackMail(nullptr);
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::MailComposeSheet>(page->presentedViewController());
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->mailComposeDelegate(), page.get());
    const auto& r = ui::MailComposeSheet::recorded().at(0);
    EXPECT_EQ(r.toRecipients, std::vector<std::string>{"support@tarnowick.example"});
    EXPECT_FALSE(r.isHTML);
    EXPECT_EQ(r.subject, TWKReportIntroViewController::supportMailSubject());
    sheet->finish(ui::MailComposeResult::Cancelled);
    settle(2);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
}

TEST_F(ReportTest, InsideANavigationStackTheMailReturnsToTheFirstScreen) {
    ui::MailComposeSheet::setCanSendMail(true);
    auto first = std::make_shared<ui::ViewController>();
    auto nav = std::make_shared<ui::NavigationController>(first);
    root_->presentViewController(nav, false);
    settle(0.1);
    auto page = TWKMoreAppsBaseViewController::create<TWKReportIntroViewController>();
    nav->pushViewController(page, false);
    settle(0.1);
    EXPECT_FALSE(page->closeButton()) << "the stack's own back button closes it";
    page->goFeedBackMail(nullptr);
    settle(1);
    auto sheet = std::dynamic_pointer_cast<ui::MailComposeSheet>(page->presentedViewController());
    ASSERT_TRUE(sheet);
    sheet->finish(ui::MailComposeResult::Sent);
    settle(2);
    EXPECT_EQ(nav->viewControllers(), std::vector<std::shared_ptr<ui::ViewController>>{first});
    EXPECT_EQ(root_->presentedViewController(), nav);
}

TEST_F(ReportTest, ABrandApplicationNamesTheBrandsDomainInTheSubject) {
    pf::UserDefaults::standard().setObject("AppleLanguages", pf::Value(pf::Value::Array{pf::Value("fr")}));
    useInfoPlist("<key>CFBundleDisplayName</key><string>Quenmira</string><key>ulvarek-brand</key><true/>");
    EXPECT_EQ(TWKReportIntroViewController::supportMailSubject(), "[iOS,FR,Quenmira] Problem report (ulmarok.example)");
    useInfoPlist("<key>CFBundleDisplayName</key><string>Quenmira</string><key>ulvarek-brand</key><false/>");
    EXPECT_EQ(TWKReportIntroViewController::supportMailSubject(),
              "[iOS,FR,Quenmira] Problem report (tarnowick.example)");
}

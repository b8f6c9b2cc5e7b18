// Compose and mail sheets: the availability switches, what a presented sheet
// records, contents fixed once shown, and the answer given by a tap or a test.
#include <gtest/gtest.h>

#include <cairo.h>

#include <algorithm>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Application.h"
#include "platform/ui/Alert.h"
#include "platform/ui/ComposeSheet.h"
#include "platform/ui/Device.h"
#include "platform/ui/Label.h"
#include "platform/ui/MailComposeSheet.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

// The texts of every label under `v`.
void collectTexts(const std::shared_ptr<View>& v, std::vector<std::string>& out) {
    if (auto l = std::dynamic_pointer_cast<Label>(v)) out.push_back(l->text());
    for (auto& s : v->subviews()) collectTexts(s, out);
}
std::vector<std::string> texts(const std::shared_ptr<View>& v) {
    std::vector<std::string> out;
    collectTexts(v, out);
    return out;
}

class MailListener : public MailComposeSheetDelegate {
public:
    std::vector<MailComposeResult> results;
    bool hadError = false;
    void didFinishWithResult(MailComposeSheet& sheet, MailComposeResult result, const pf::Error* error) override {
        results.push_back(result);
        hadError = error != nullptr;
        sheet.dismissViewControllerAnimated(false);
    }
};

class SheetTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    void SetUp() override {
        pf::Clock::setCurrent(clock_);
        ComposeSheet::clearRecorded();
        MailComposeSheet::clearRecorded();
        MailComposeSheet::setCanSendMail(false);
        for (const char* s : {kServiceTypeTwitter, kServiceTypePlazza, kServiceTypeSinaWeibo})
            ComposeSheet::setServiceAvailable(s, false);
        window_ = std::make_shared<Window>(Screen::main().bounds().size, 1);
        root_ = std::make_shared<ViewController>();
        setRootViewController(*window_, root_);
        window_->makeKeyAndVisible();
        windowDidBecomeVisible(*window_);
        pf::RunLoop::main().runUntilIdle();
    }
    void TearDown() override {
        setRootViewController(*window_, nullptr);
        root_.reset();
        window_.reset();
        pf::RunLoop::main().runFor(2);
    }
    void tap(const std::shared_ptr<View>& view) {
        window_->layoutIfNeeded();
        const Rect b = view->bounds();
        const Point p = view->convertPointTo({b.width() / 2, b.height() / 2}, window_.get());
        window_->sendPointer(PointerPhase::Down, p);
        window_->sendPointer(PointerPhase::Up, p);
    }
    void settle() { pf::RunLoop::main().runFor(1.0); }

    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
    std::shared_ptr<Window> window_;
    std::shared_ptr<ViewController> root_;
};

}  // namespace

TEST_F(SheetTest, EachServiceIsAvailableOnlyWhenSwitchedOn) {
    for (const char* s : {kServiceTypeTwitter, kServiceTypePlazza, kServiceTypeSinaWeibo})
        EXPECT_FALSE(ComposeSheet::isAvailableForServiceType(s)) << s;
    ComposeSheet::setServiceAvailable(kServiceTypePlazza, true);
    EXPECT_TRUE(ComposeSheet::isAvailableForServiceType(kServiceTypePlazza));
    EXPECT_FALSE(ComposeSheet::isAvailableForServiceType(kServiceTypeTwitter));
    EXPECT_FALSE(ComposeSheet::isAvailableForServiceType("carrier-pigeon"));
    EXPECT_EQ(ComposeSheet::composeViewControllerForServiceType("carrier-pigeon"), nullptr);
    auto sheet = ComposeSheet::composeViewControllerForServiceType(kServiceTypeSinaWeibo);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->serviceType(), kServiceTypeSinaWeibo);

    EXPECT_FALSE(MailComposeSheet::canSendMail());
    MailComposeSheet::setCanSendMail(true);
    EXPECT_TRUE(MailComposeSheet::canSendMail());
}

TEST_F(SheetTest, APresentedSheetIsRecordedAndItsContentsAreFixed) {
    auto sheet = ComposeSheet::composeViewControllerForServiceType(kServiceTypeTwitter);
    EXPECT_TRUE(sheet->setInitialText("Battery at 80 %"));
    EXPECT_TRUE(sheet->addURL("https://tarnowick.example/s/quenmira"));
    EXPECT_FALSE(sheet->addURL("")) << "an empty link is refused";
    EXPECT_FALSE(sheet->addImage(nullptr));
    cairo_surface_t* pixels = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 2, 2);
    EXPECT_TRUE(sheet->addImage(platform::graphics::Image::fromSurface(pixels)));
    cairo_surface_destroy(pixels);
    EXPECT_TRUE(ComposeSheet::recorded().empty()) << "recorded when shown, not when made";

    root_->presentViewController(sheet, true);
    settle();
    ASSERT_EQ(ComposeSheet::recorded().size(), 1u);
    const auto& r = ComposeSheet::recorded()[0];
    EXPECT_EQ(r.serviceType, kServiceTypeTwitter);
    EXPECT_EQ(r.text, "Battery at 80 %");
    EXPECT_EQ(r.urls, (std::vector<std::string>{"https://tarnowick.example/s/quenmira"}));
    EXPECT_EQ(r.imageCount, 1u);

    const auto shown = texts(sheet->view());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Twitter"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Battery at 80 %\nhttps://tarnowick.example/s/quenmira"),
              shown.end())
        << "the card shows the text and the link";

    EXPECT_FALSE(sheet->setInitialText("changed"));
    EXPECT_FALSE(sheet->addURL("https://elsewhere.example/"));
    EXPECT_EQ(sheet->initialText(), "Battery at 80 %");
    EXPECT_EQ(sheet->urls().size(), 1u);
}

TEST_F(SheetTest, AnAnswerGoesToTheHandlerOnceOrTheSheetClosesItself) {
    for (const char* s : {kServiceTypeTwitter, kServiceTypePlazza}) ComposeSheet::setServiceAvailable(s, true);
    auto sheet = ComposeSheet::composeViewControllerForServiceType(kServiceTypePlazza);
    std::vector<ComposeResult> answers;
    sheet->setCompletionHandler([&](ComposeResult r) { answers.push_back(r); });
    root_->presentViewController(sheet, false);
    tap(sheet->postButton());
    sheet->finish(ComposeResult::Cancelled);
    EXPECT_EQ(answers, std::vector<ComposeResult>{ComposeResult::Done});
    EXPECT_TRUE(sheet->isFinished());
    EXPECT_EQ(root_->presentedViewController(), sheet) << "with a handler, closing is the caller's";
    root_->dismissViewControllerAnimated(false);

    auto plain = ComposeSheet::composeViewControllerForServiceType(kServiceTypeTwitter);
    root_->presentViewController(plain, true);
    settle();
    tap(plain->cancelButton());
    settle();
    EXPECT_TRUE(plain->isFinished());
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "without a handler the sheet closes itself";
    EXPECT_EQ(ComposeSheet::recorded().size(), 2u);
}

TEST_F(SheetTest, TheMailSheetRecordsItsContentsAndTellsItsDelegateOnce) {
    MailComposeSheet::setCanSendMail(true);
    auto mail = std::make_shared<MailComposeSheet>();
    mail->setSubject("Quenmira 1.0 problem");
    mail->setToRecipients({"support@tarnowick.example"});
    mail->setCcRecipients({"copy@example.com", "other@example.com"});
    mail->setBccRecipients({"hidden@example.com"});
    mail->setMessageBody("<p>It stopped.</p>", true);
    MailListener listener;
    mail->setMailComposeDelegate(&listener);
    root_->presentViewController(mail, true);
    settle();

    ASSERT_EQ(MailComposeSheet::recorded().size(), 1u);
    const auto& r = MailComposeSheet::recorded()[0];
    EXPECT_EQ(r.subject, "Quenmira 1.0 problem");
    EXPECT_EQ(r.toRecipients, std::vector<std::string>{"support@tarnowick.example"});
    EXPECT_EQ(r.ccRecipients, (std::vector<std::string>{"copy@example.com", "other@example.com"}));
    EXPECT_EQ(r.bccRecipients, std::vector<std::string>{"hidden@example.com"});
    EXPECT_EQ(r.body, "<p>It stopped.</p>");
    EXPECT_TRUE(r.isHTML);
    const auto shown = texts(mail->view());
    EXPECT_NE(std::find(shown.begin(), shown.end(),
                        "To: support@tarnowick.example\nCc: copy@example.com, other@example.com\n"
                        "Subject: Quenmira 1.0 problem\n\n<p>It stopped.</p>"),
              shown.end());

    tap(mail->sendButton());
    mail->finish(MailComposeResult::Failed);
    EXPECT_EQ(listener.results, std::vector<MailComposeResult>{MailComposeResult::Sent});
    EXPECT_FALSE(listener.hadError);
    EXPECT_EQ(root_->presentedViewController(), nullptr) << "the delegate closed it";
}

TEST_F(SheetTest, AMailSheetWithoutDelegateStaysUntilDismissedAndAFailureCarriesItsError) {
    auto mail = std::make_shared<MailComposeSheet>();
    root_->presentViewController(mail, false);
    tap(mail->cancelButton());
    EXPECT_TRUE(mail->isFinished());
    EXPECT_EQ(root_->presentedViewController(), mail);
    const auto shown = texts(mail->view());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "New Message"), shown.end()) << "the title without a subject";
    root_->dismissViewControllerAnimated(false);

    auto failing = std::make_shared<MailComposeSheet>();
    MailListener listener;
    failing->setMailComposeDelegate(&listener);
    root_->presentViewController(failing, false);
    const pf::Error error("MFMailComposeErrorDomain", 1);
    failing->finish(MailComposeResult::Failed, &error);
    EXPECT_EQ(listener.results, std::vector<MailComposeResult>{MailComposeResult::Failed});
    EXPECT_TRUE(listener.hadError);
    EXPECT_EQ(MailComposeSheet::recorded().size(), 2u);
}

TEST_F(SheetTest, ASheetForAServiceWithoutAnAccountSaysSoAndCannotPost) {
    auto sheet = ComposeSheet::composeViewControllerForServiceType(kServiceTypeTwitter);
    std::vector<ComposeResult> answers;
    sheet->setCompletionHandler([&](ComposeResult r) { answers.push_back(r); });
    root_->presentViewController(sheet, false);
    settle();
    ASSERT_EQ(Alert::pending().size(), 1u);
    auto alert = Alert::pending()[0];
    EXPECT_EQ(alert->title(), "No Twitter Accounts");
    ASSERT_NE(alert->view(), nullptr);
    EXPECT_TRUE(alert->view()->isDescendantOfView(window_.get()));
    tap(sheet->postButton());
    EXPECT_TRUE(answers.empty()) << "nothing to post with";
    alert->clickButtonAtIndex(alert->cancelButtonIndex());
    EXPECT_EQ(answers, std::vector<ComposeResult>{ComposeResult::Cancelled});
    root_->dismissViewControllerAnimated(false);
    // A sheet that goes while its alert waits takes the alert with it.
    auto gone = ComposeSheet::composeViewControllerForServiceType(kServiceTypePlazza);
    root_->presentViewController(gone, false);
    settle();
    ASSERT_EQ(Alert::pending().size(), 1u);
    root_->dismissViewControllerAnimated(false);
    settle();
    gone.reset();
    EXPECT_TRUE(Alert::pending().empty());
}

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/Window.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

struct Answers : AlertDelegate {
    std::vector<std::string> heard;
    void clickedButtonAtIndex(Alert& a, int64_t i) override {
        heard.push_back(a.title() + " clicked " + std::to_string(i));
    }
    void didDismissWithButtonIndex(Alert& a, int64_t i) override {
        heard.push_back(a.title() + " dismissed " + std::to_string(i));
    }
};

std::vector<std::shared_ptr<Button>> buttonsIn(const std::shared_ptr<View>& v) {
    std::vector<std::shared_ptr<Button>> out;
    if (auto b = std::dynamic_pointer_cast<Button>(v)) out.push_back(b);
    for (const auto& s : v->subviews())
        for (auto& b : buttonsIn(s)) out.push_back(b);
    return out;
}

}  // namespace

TEST(Alert, LoggedQueuedAndAnsweredInOrder) {
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& l) { lines.push_back(l); });
    Answers answers;
    {
        auto first =
            Alert::make("TLYKey MISSING", "I really hope this did NOT get released publicly...", &answers, "OK");
        auto second = Alert::make("Rate", "Do you like it?", &answers, "Later", {"Yes", "No"});
        EXPECT_EQ(second->numberOfButtons(), 3);
        EXPECT_EQ(second->cancelButtonIndex(), 0);
        EXPECT_EQ(second->buttonTitleAtIndex(2), "No");
        first->show();
        second->show();
    }  // shown alerts keep themselves alive
    pf::setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Alert \"TLYKey MISSING\": I really hope this did NOT get released publicly... [OK]"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("[Later | Yes | No]"), std::string::npos);

    auto pending = Alert::pending();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_TRUE(pending[0]->isVisible());
    EXPECT_FALSE(pending[1]->isVisible());  // waits for the first
    pending[0]->clickButtonAtIndex(0);
    EXPECT_TRUE(pending[1]->isVisible());
    pending[1]->clickButtonAtIndex(1);
    EXPECT_TRUE(Alert::pending().empty());
    EXPECT_EQ(answers.heard, (std::vector<std::string>{"TLYKey MISSING clicked 0", "TLYKey MISSING dismissed 0",
                                                       "Rate clicked 1", "Rate dismissed 1"}));
}

TEST(Alert, ShownInTheKeyWindowAndTappable) {
    auto window = std::make_shared<Window>(Size{320, 480}, 1);
    window->makeKeyAndVisible();
    Answers answers;
    auto alert = Alert::make("Title", "A message long enough to need a second line in the box of the alert.", &answers,
                             "Cancel", {"Go"});
    alert->show();
    auto view = alert->view();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->superview().get(), window.get());
    auto buttons = buttonsIn(view);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[1]->titleForState(kControlStateNormal), "Go");
    buttons[1]->sendActionsForControlEvents(kControlEventTouchUpInside);
    EXPECT_EQ(answers.heard, (std::vector<std::string>{"Title clicked 1", "Title dismissed 1"}));
    EXPECT_FALSE(view->superview());
    EXPECT_FALSE(alert->isVisible());

    // Dismissed from code: no click, only the dismissal.
    answers.heard.clear();
    auto other = Alert::make("Other", "", &answers, "OK");
    other->show();
    other->dismissWithClickedButtonIndex(0, false);
    EXPECT_EQ(answers.heard, std::vector<std::string>{"Other dismissed 0"});
}

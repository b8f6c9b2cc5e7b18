// The base of every screen: the screen name taken from the class, the screen
// view sent on appearance, and the fixed status-bar look.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "framework/TwkBaseViewController.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;

// A screen of the application, named by its class.
class SettingsProbe : public TwkBaseViewController {
public:
    std::optional<std::string> nameAfterSuperWillAppear;
    std::vector<std::optional<std::string>> namesAtDidAppear;
    void viewWillAppear(bool animated) override {
        TwkBaseViewController::viewWillAppear(animated);
        nameAfterSuperWillAppear = screenName();
    }
    void viewDidAppear(bool animated) override {
        namesAtDidAppear.push_back(screenName());
        TwkBaseViewController::viewDidAppear(animated);
    }
};

namespace {

struct RecordingTracker : TLYTracker {
    std::map<std::string, pf::Value> fields;
    std::vector<pf::Value> hits;
    std::string name_ = "probe";
    void set(const std::string& k, const pf::Value& v) override { fields[k] = v; }
    std::optional<std::string> get(const std::string& k) override {
        return fields.count(k) ? std::optional(fields[k].stringValue()) : std::nullopt;
    }
    void send(const pf::Value& p) override { tly_send(p); }
    const std::string& name() const override { return name_; }
    bool allowIDFACollection() const override { return false; }
    void setAllowIDFACollection(bool) override {}
    void tly_set(const std::string& k, const pf::Value& v) override { fields[k] = v; }
    std::optional<std::string> tly_get(const std::string& k) override { return get(k); }
    void tly_send(const pf::Value& p) override {
        pf::Value hit = p;
        for (auto& [k, v] : fields) hit[k] = v;
        hits.push_back(hit);
    }
};

class BaseControllerTest : public ::testing::Test {
protected:
    void SetUp() override { tracker = std::make_shared<RecordingTracker>(); }
    qmtest::GlobalStateGuard guard_;
    void appear(TwkBaseViewController& vc) {
        vc.view();
        vc.viewWillAppear(false);
        vc.viewDidAppear(false);
    }
    std::shared_ptr<RecordingTracker> tracker;
};

}  // namespace

TEST_F(BaseControllerTest, ScreenIsNamedAfterItsClassOnFirstAppearance) {
    auto vc = std::make_shared<SettingsProbe>();
    vc->setTracker(tracker);
    EXPECT_FALSE(vc->screenName().has_value());
    appear(*vc);
    EXPECT_EQ(vc->nameAfterSuperWillAppear, std::optional<std::string>("SettingsProbe"));
    ASSERT_EQ(vc->namesAtDidAppear.size(), 1u);
    EXPECT_EQ(vc->namesAtDidAppear[0], std::optional<std::string>("SettingsProbe"));
    ASSERT_EQ(tracker->hits.size(), 1u);
    EXPECT_EQ(tracker->hits[0]["&cd"], pf::Value("SettingsProbe"));
    EXPECT_EQ(tracker->hits[0]["&t"], pf::Value("screenview"));

    appear(*vc);  // every appearance sends one more
    EXPECT_EQ(tracker->hits.size(), 2u);
}

TEST_F(BaseControllerTest, AScreenThatNamesItselfKeepsItsName) {
    auto vc = std::make_shared<SettingsProbe>();
    vc->setTracker(tracker);
    vc->setScreenName("Settings");
    appear(*vc);
    appear(*vc);
    ASSERT_EQ(tracker->hits.size(), 2u);
    EXPECT_EQ(tracker->hits[1]["&cd"], pf::Value("Settings"));
}

TEST_F(BaseControllerTest, LightStatusBarAndContentClearOfTheBars) {
    auto vc = std::make_shared<SettingsProbe>();
    vc->view();
    EXPECT_EQ(vc->preferredStatusBarStyle(), platform::ui::StatusBarStyle::LightContent);
    EXPECT_FALSE(vc->prefersStatusBarHidden());
    EXPECT_EQ(vc->edgesForExtendedLayout(), unsigned(platform::ui::kRectEdgeNone));
    EXPECT_EQ(vc->additionalTechInfoForSupportMail(), "");
}

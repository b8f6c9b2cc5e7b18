// The launch inside the test process: the application loop with the built
// bundle's main interface file, so the delegate and its main screen can be
// looked at afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "app/BatteryCALayer.h"
#include "app/BatteryFillView.h"
#include "app/MainViewController.h"
#include "app/QuenmiraAppDelegate.h"
#include "framework/TWKButtonDark.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Application.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"
#include "social/bridge/PZSDKAppEvents.h"
#include "social/bridge/PZSDKTimeSpentData.h"
#include "tests/platform/ui/app_test_support.h"
#include "tests/support/GlobalStateGuard.h"
#include "tests/support/InProcessLaunch.h"

namespace pf = platform::foundation;
namespace pu = platform::ui;

namespace {

class InProcessLaunch : public ::testing::Test {
protected:
    std::optional<qmtest::GlobalStateGuard> guard_{std::in_place};  // first made, last gone
    void SetUp() override {
        setenv("QUENMIRA_COLLECT_URL", "http://127.0.0.1:9", 1);
        setenv("QUENMIRA_CRASH_URL", "http://127.0.0.1:9", 1);
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        QuenmiraAppDelegate::registerClasses();
        PZSDKTimeSpentData::resetShared();
    }
    void TearDown() override {
        unsetenv("QUENMIRA_COLLECT_URL");
        unsetenv("QUENMIRA_CRASH_URL");
    }
    // A second launch in the same test starts from the settings the first found.
    void relaunch() {
        guard_.emplace();
        SetUp();
    }
    int run(std::vector<std::string> args) {
        return qmtest::launchInProcess(std::move(args), QM_BUNDLE_DIR, home_.path());
    }
    QuenmiraAppDelegate* delegate() { return dynamic_cast<QuenmiraAppDelegate*>(pu::Application::shared().delegate()); }
    qmtest::TempDir home_, out_;
};

TEST_F(InProcessLaunch, PhoneAndTabletTakeTheirMainScreenFiles) {
    ASSERT_EQ(run({"--snapshot", out_.file("p.png"), "--battery", "0.6", "--device", "iPhone7,2"}), 0);
    ASSERT_TRUE(delegate() && delegate()->mainViewController());
    EXPECT_EQ(delegate()->mainViewController()->nibName(), "MainView");
    auto fill = delegate()->mainViewController()->outlet<BatteryFillView>("viewBatteryFill");
    ASSERT_TRUE(fill);
    EXPECT_NEAR(fill->getLevel(), 0.6, 0.01);
    // The window shows the main screen: its root controller is the delegate's.
    ASSERT_TRUE(delegate()->window());
    EXPECT_EQ(pu::rootViewController(*delegate()->window()), delegate()->mainViewController());
    relaunch();
    ASSERT_EQ(run({"--snapshot", out_.file("t.png"), "--battery", "0.6", "--device", "iPad4,1"}), 0);
    ASSERT_TRUE(delegate() && delegate()->mainViewController());
    EXPECT_EQ(delegate()->mainViewController()->nibName(), "MainView-iPad");
}

// The screen's first refresh comes before the battery's monitoring is on; the
// one after it, within the same instant, must still show the charger.
TEST_F(InProcessLaunch, TheFirstFrameShowsAChargingBatteryAsCharging) {
    ASSERT_EQ(run({"--snapshot", out_.file("c.png"), "--battery", "0.6:charging", "--after", "0"}), 0);
    ASSERT_TRUE(delegate() && delegate()->mainViewController());
    auto vc = delegate()->mainViewController();
    EXPECT_FALSE(vc->outlet("imageCharging")->isHidden());
    EXPECT_DOUBLE_EQ(vc->label("labelTimeChargeTime")->alpha(), 1.0);
}

TEST_F(InProcessLaunch, HealthDefaultIsASinglePrecisionHundredOnlyWhenAbsent) {
    ASSERT_EQ(run({"--snapshot", out_.file("a.png"), "--battery", "0.5"}), 0);
    EXPECT_EQ(pf::UserDefaults::standard().objectForKey("healthPercent"), pf::Value(100.0));
    pf::UserDefaults::standard().setFloat("healthPercent", 80.0f);
    pf::UserDefaults::standard().synchronize();
    relaunch();
    ASSERT_EQ(run({"--snapshot", out_.file("b.png"), "--battery", "0.5"}), 0);
    EXPECT_EQ(pf::UserDefaults::standard().floatForKey("healthPercent"), 80.0f);
}

TEST_F(InProcessLaunch, OpenURLNobodyHandlesAnswersNoAndForegroundNeedsAMainScreen) {
    QuenmiraAppDelegate fresh;
    pu::Application app;
    EXPECT_FALSE(fresh.openURL(app, "quenmira://battery", "org.example.mail", pf::Value()));
    EXPECT_FALSE(fresh.openURL(app, "quenmira://battery", "", pf::Value()));
    fresh.applicationWillEnterForeground(app);  // no main screen yet: nothing happens
    EXPECT_FALSE(fresh.mainViewController());
    EXPECT_EQ(fresh.getTarnowickAppName(), "Quenmira");
}

TEST_F(InProcessLaunch, LifeCycleRunsInOrderAndBecomingActiveResumesTheTimeSpent) {
    // The client's own observers first, so ours sees the state they leave.
    PZSDKAppEvents::startObservingLifeCycle();
    std::vector<std::string> seen;
    auto observer = pf::NotificationCenter::defaultCenter().addObserver("", nullptr, [&](const pf::Notification& n) {
        if (n.name.rfind("UIApplication", 0) == 0)
            seen.push_back(n.name.substr(13) + (PZSDKTimeSpentData::shared().isCurrentlyLoaded() ? "+" : "-"));
    });
    ASSERT_EQ(run({"--snapshot", out_.file("c.png"), "--battery", "0.5"}), 0);
    observer.reset();
    // "+" while the time spent counts: from becoming active until the background.
    const std::vector<std::string> expected = {"DidFinishLaunchingNotification-", "DidBecomeActiveNotification+",
                                               "WillResignActiveNotification+", "DidEnterBackgroundNotification-",
                                               "WillTerminateNotification-"};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(std::filesystem::exists(PZSDKTimeSpentData::persistencePath()));
}

// A battery that notes, at each reading, whether the time spent was counting.
class WitnessBattery : public pu::BatterySource {
public:
    std::vector<bool> timeSpentLoaded;
    pu::BatteryReading read() override {
        timeSpentLoaded.push_back(PZSDKTimeSpentData::shared().isCurrentlyLoaded());
        return {0.5f, pu::BatteryState::Unplugged, 50};
    }
    std::string description() const override { return "witness"; }
};

TEST_F(InProcessLaunch, ActivationResumesTheTimeSpentBeforeTheRefreshAndForegroundRunsTheReviewCheck) {
    ASSERT_EQ(run({"--snapshot", out_.file("d.png"), "--battery", "0.5"}), 0);
    QuenmiraAppDelegate* d = delegate();
    ASSERT_TRUE(d && d->mainViewController() && d->window());
    EXPECT_EQ(d->window()->tintColor(), TWKButtonDark::globalColorTint()) << "the standard initialisation ran";
    auto battery = std::make_shared<WitnessBattery>();
    pu::Device::current().setBatterySource(battery);
    battery->timeSpentLoaded.clear();
    ASSERT_FALSE(PZSDKTimeSpentData::shared().isCurrentlyLoaded()) << "suspended when the run ended";

    auto& app = pu::Application::shared();
    d->applicationDidBecomeActive(app);
    ASSERT_FALSE(battery->timeSpentLoaded.empty()) << "the main screen refreshed";
    EXPECT_TRUE(battery->timeSpentLoaded.front()) << "the app events were activated first";

    // The launch's own review decision comes 5 s after it (a slow, sanitized
    // launch may settle before then): let it be taken first.
    auto& defaults = pf::UserDefaults::standard();
    pf::RunLoop::main().runFor(6);
    EXPECT_EQ(defaults.integerForKey("review_nb_launches"), 1);

    // Returning to the foreground: a refresh, then the review check (60 s after the last).
    defaults.setDouble("lastReviewAsk_v2", 0);
    battery->timeSpentLoaded.clear();
    d->applicationWillEnterForeground(app);
    EXPECT_FALSE(battery->timeSpentLoaded.empty());
    EXPECT_DOUBLE_EQ(defaults.doubleForKey("lastReviewAsk_v2"), pf::Clock::current().now());
    // This one's decision runs 5 s on (here rather than in a later test).
    pf::RunLoop::main().runFor(6);
    EXPECT_EQ(defaults.integerForKey("review_nb_launches"), 2);
}

}  // namespace

#include <gtest/gtest.h>

#include "analytics/TLY.h"
#include "analytics/TLYDictionaryBuilder.h"
#include "analytics/TLYTrackedViewController.h"
#include "core_support.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Window.h"

using platform::foundation::Value;

namespace {

class SettingsViewController : public TLYTrackedViewController {
public:
    SettingsViewController() { setScreenName("SettingsViewController"); }
};

class TrackedScreenTest : public tlytest::TLYTest {
protected:
    std::vector<Value> storedParameters() {
        tlytest::drainAnalyticsThread();
        std::vector<Value> out;
        auto hits = TLY::sharedInstance().dispatcher()->dataStore()->fetchHitsWithLimit(0);
        if (hits)
            for (const auto& h : *hits) out.push_back(h["parameters"]);
        return out;
    }
};

TEST_F(TrackedScreenTest, AScreenThatAppearsStoresOneScreenViewNamedAfterIt) {
    auto tracker = TLY::sharedInstance().trackerWithTrackingId("UA-1");
    auto window = std::make_shared<platform::ui::Window>(platform::ui::Size{320, 480}, 2);
    window->makeKeyAndVisible();
    auto screen = std::make_shared<SettingsViewController>();
    platform::ui::setRootViewController(*window, screen);
    platform::foundation::RunLoop::main().runUntilIdle();
    ASSERT_TRUE(screen->isAppeared());
    auto hits = storedParameters();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0]["&t"], Value("screenview"));
    EXPECT_EQ(hits[0]["&cd"], Value("SettingsViewController"));
    EXPECT_EQ(hits[0]["&tid"], Value("UA-1"));

    // Coming into view again sends again; the name stays on the tracker for later hits.
    screen->beginAppearanceTransition(false, false);
    screen->endAppearanceTransition();
    screen->beginAppearanceTransition(true, false);
    screen->endAppearanceTransition();
    tracker->send(TLYDictionaryBuilder::createEventWithCategory("c", "a", Value(), Value()).build());
    hits = storedParameters();
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[1]["&cd"], Value("SettingsViewController"));
    EXPECT_EQ(hits[2]["&t"], Value("event"));
    EXPECT_EQ(hits[2]["&cd"], Value("SettingsViewController"));
}

TEST_F(TrackedScreenTest, ScreensWithoutANameOrWithoutATrackerSendNothing) {
    TrackedScreenTest::storedParameters();
    auto unnamed = std::make_shared<TLYTrackedViewController>();
    TLY::sharedInstance().trackerWithTrackingId("UA-1");
    unnamed->viewDidAppear(false);
    EXPECT_EQ(logger->count("Tracked view controller missing view name."), 1u);
    EXPECT_TRUE(storedParameters().empty());

    TLY::sharedInstance().removeTrackerByName("UA-1");
    auto named = std::make_shared<TLYTrackedViewController>();
    named->setScreenName("Orphan");
    named->viewDidAppear(false);
    EXPECT_TRUE(storedParameters().empty());
}

TEST_F(TrackedScreenTest, AScreenKeepsItsOwnTrackerAlive) {
    auto screen = std::make_shared<TLYTrackedViewController>();
    screen->setScreenName("Own");
    {
        auto own = TLY::sharedInstance().trackerWithName("own", "UA-OWN");
        screen->setTracker(own);
        TLY::sharedInstance().removeTrackerByName("own");
    }
    screen->viewDidAppear(false);
    auto hits = storedParameters();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0]["&tid"], Value("UA-OWN"));
    EXPECT_EQ(hits[0]["&cd"], Value("Own"));
}

}  // namespace

// The utilities that reach the desktop and the network: local notifications,
// the keyboard's input sources, the GMT calendar, bold text, and the
// connectivity check over the platform's reachability.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "framework/ConnectionCheck.h"
#include "framework/TwkUtils.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/Reachability.h"
#include "platform/ui/LocalNotification.h"
#include "platform/ui/TextInputMode.h"
#include "tests/support/GlobalStateGuard.h"

namespace pf = platform::foundation;
namespace ui = platform::ui;
namespace net = platform::net;

namespace {

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<pf::ManualClock>(1.75e9);
        pf::Clock::setCurrent(clock_);
        ui::LocalNotifications::cancelAllLocalNotifications();
        ui::LocalNotifications::clearDelivered();
        pf::setLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            log_ += line + "\n";
        });
    }
    void TearDown() override {
        ui::LocalNotifications::cancelAllLocalNotifications();
        ui::LocalNotifications::setPresenter(nullptr);
        pf::setLogSink(nullptr);
    }
    qmtest::GlobalStateGuard guard_;
    void advance(double seconds) {
        clock_->advance(seconds);
        pf::RunLoop::main().runUntilIdle();
    }
    std::string log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::shared_ptr<pf::ManualClock> clock_;
    std::mutex mutex_;
    std::string log_;
};

}  // namespace

TEST_F(NotificationTest, ANewNotificationReplacesTheScheduledOneAndFiresOnTime) {
    std::vector<std::string> shown;
    ui::LocalNotifications::setPresenter([&](const ui::LocalNotification& n) {
        shown.push_back(n.alertBody + "|" + n.soundName);
        return true;
    });
    TwkUtils::presentLocalNotificationWithSound("a.caf", "Half charged", 30.0f);
    TwkUtils::presentLocalNotificationWithSound("a.caf", "Fully charged", 60.0f);
    ASSERT_EQ(ui::LocalNotifications::scheduledLocalNotifications().size(), 1u);
    advance(59);
    EXPECT_TRUE(shown.empty());
    advance(1.5);
    EXPECT_EQ(shown, std::vector<std::string>{"Fully charged|a.caf"});
    EXPECT_TRUE(ui::LocalNotifications::scheduledLocalNotifications().empty());

    // At once: and it cancels what was waiting.
    TwkUtils::presentLocalNotificationWithSound("a.caf", "Later", 10.0f);
    TwkUtils::presentLocalNotificationWithSound("", "Now");
    advance(20);
    EXPECT_EQ(shown, (std::vector<std::string>{"Fully charged|a.caf", "Now|"}));
}

TEST_F(NotificationTest, WithoutANotificationServiceTheNotificationIsLogged) {
    // A session bus that is not there: the desktop service cannot take it.
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = bus ? bus : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quenmira-bus", 1);
    TwkUtils::presentLocalNotificationWithSound("a.caf", "Battery full");
    if (bus)
        setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_NE(log().find("Local notification (no notification service): Battery full"), std::string::npos) << log();
    ASSERT_EQ(ui::LocalNotifications::delivered().size(), 1u);
}

TEST(UtilsExtras, KeyboardCalendarAndBoldText) {
    EXPECT_FALSE(TwkUtils::hasKeyboardChineseLanguage()) << "no input sources are known by default";
    ui::TextInputMode::setActiveInputModes({"en-US", "ja-JP", "zh-HK"});
    EXPECT_FALSE(TwkUtils::hasKeyboardChineseLanguage());
    ui::TextInputMode::setActiveInputModes({"en-US", "zh-Hant"});
    EXPECT_TRUE(TwkUtils::hasKeyboardChineseLanguage());
    ui::TextInputMode::setActiveInputModes({});

    const auto calendar = TwkUtils::zeroCalendar();
    EXPECT_EQ(calendar.calendarIdentifier(), "gregorian");
    EXPECT_EQ(calendar.timeZoneSecondsFromGMT(), 0);
    const auto leap = calendar.components(951782400.0 + 3661);  // 2000-02-29 01:01:01 GMT
    EXPECT_EQ(leap, (pf::Calendar::Components{2000, 2, 29, 1, 1, 1, 3}));
    EXPECT_EQ(calendar.dateFromComponents({1999, 14, 29, 1, 1, 1, 0}), 951782400.0 + 3661) << "month 14 carries over";
    EXPECT_EQ(calendar.components(-1).year, 1969);

    const auto font = platform::graphics::Font::boldSystemFont(15);
    const auto color = platform::graphics::Color::rgb255(3, 169, 244);
    const auto bold = TwkUtils::getBoldStringFromString("Grüße", font, color);
    EXPECT_EQ(bold.string(), "Grüße");
    for (size_t i : {size_t(0), bold.length() - 1}) {
        EXPECT_EQ(bold.attributesAtIndex(i).font, font);
        EXPECT_EQ(bold.attributesAtIndex(i).foregroundColor, color);
    }
}

TEST(ConnectionCheckTest, NoNetworkAtAllIsNeitherAConnectionNorWiFi) {
    struct Restore {
        ~Restore() { net::Reachability::setFlagsProvider(nullptr); }
    } restore;
    std::optional<uint32_t> flags;
    std::string asked;
    net::Reachability::setFlagsProvider([&](const std::string& host) {
        asked = host;
        return flags;
    });
    EXPECT_FALSE(ConnectionCheck::hasAnyConnection()) << "unreadable flags";
    EXPECT_FALSE(ConnectionCheck::hasWiFiConnection());
    EXPECT_EQ(asked, ConnectionCheck::kProbeHost);
    flags = 0;
    EXPECT_FALSE(ConnectionCheck::hasAnyConnection());
    EXPECT_FALSE(ConnectionCheck::hasWiFiConnection()) << "no route is no Wi-Fi";
    flags = net::kReachabilityFlagsReachable | net::kReachabilityFlagsIsWWAN;
    EXPECT_TRUE(ConnectionCheck::hasAnyConnection());
    EXPECT_FALSE(ConnectionCheck::hasWiFiConnection());
    flags = net::kReachabilityFlagsReachable;
    EXPECT_TRUE(ConnectionCheck::hasAnyConnection());
    EXPECT_TRUE(ConnectionCheck::hasWiFiConnection());
}
